// The mount table: its text, what each kind of mount may be trusted with, the lookups the trust checks
// make, and the walk that never looks into a mount that may stall (the stalled mounts themselves are
// the FUSE tests' business, where the companion and its readers meet them).
#include "common/linux/MountTable.h"
#include "common/linux/MountedFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace quorvantile::mounts {
namespace {

// A folder of our own below the temporary folder, removed with its contents.
struct Scratch {
    Scratch()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvantile-mounts-XXXXXX").string();
        path = mkdtemp(pattern.data()) != nullptr ? pattern : "";
    }
    ~Scratch()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

TEST(MountInfoText, FieldsEscapesOptionalFieldsAndMalformedLines)
{
    const auto table =
        parseMountInfo("27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
                       "41 27 0:38 /inner /sys/fs/cgroup/uni\\040fied rw,nosuid,nodev master:2 shared:9 - cgroup2 "
                       "cgroup2 rw,nsdelegate\n"
                       "77 27 0:61 / /home/u/remote rw,nosuid,nodev,relatime - fuse.sshfs u@host: rw,user_id=1000\n"
                       "88 27 0:4 net:[4026532008] /run/netns/a\\040 rw - nsfs nsfs rw\n"
                       "90 27 0:70 / /mnt/empty\\134source rw - tmpfs  rw"); // no source, no final line feed
    ASSERT_TRUE(table);
    ASSERT_EQ(table->size(), 5U);
    EXPECT_EQ((*table)[0], (Mount {27, 1, 254, 0, "/", "/", "ext4", "rw", false}));
    EXPECT_EQ(
        (*table)[1], (Mount {41, 27, 0, 38, "/inner", "/sys/fs/cgroup/uni fied", "cgroup2", "rw,nsdelegate", true}));
    EXPECT_EQ((*table)[2].type, "fuse.sshfs");
    EXPECT_TRUE((*table)[2].noSuid);
    EXPECT_EQ((*table)[3].root, "net:[4026532008]");
    EXPECT_EQ((*table)[3].mountPoint, "/run/netns/a ") << "an escape that ends the field";
    EXPECT_EQ((*table)[4].mountPoint, "/mnt/empty\\source");
    EXPECT_EQ((*table)[4].superOptions, "rw");

    for (const char* bad :
        {"27 1 254:0 / / rw - ext4\n", "x 1 254:0 / / rw - ext4 /dev/vda rw\n", "27 1 2540 / / rw - ext4 /dev/vda rw\n",
            "27 1 254:0 / relative rw - ext4 /dev/vda rw\n", "27 1 254:0 / / rw shared:1\n", "27 1 254:0 / / rw -\n"}) {
        EXPECT_FALSE(parseMountInfo(bad)) << bad;
    }
    EXPECT_EQ(parseMountInfo(""), std::vector<Mount> {});
}

TEST(MountKinds, WhatMayStallWhatAUserControlsAndWhoseFileIdentityHolds)
{
    const struct {
        const char* type;
        bool noSuid;
        bool stalls, userControlled, keepsIdentity;
    } cases[] = {
        {"ext4", false, false, false, true}, {"btrfs", false, false, false, true},
        {"overlay", false, false, false, true}, {"tmpfs", false, false, false, true},
        {"tmpfs", true, false, true, false}, // nosuid: a mount a user could have made
        {"ext4", true, false, true, false}, // udisks mounts a user's stick or image nosuid
        {"vfat", false, false, false, false}, // its change time is the modification time
        {"exfat", false, false, false, false}, {"ntfs3", false, false, false, false},
        {"fuse", false, true, true, false}, {"fuse.sshfs", false, true, true, false},
        {"fuse.gvfsd-fuse", true, true, true, false}, {"fuseblk", false, true, true, false},
        {"nfs4", false, true, true, false}, {"cifs", false, true, true, false}, {"9p", false, true, true, false},
        {"ceph", false, true, true, false}, {"autofs", false, true, true, false},
        {"fusectl", false, false, false, true}, // not a FUSE file system, only its control files
    };
    for (const auto& row : cases) {
        Mount mount;
        mount.type = row.type;
        mount.noSuid = row.noSuid;
        SCOPED_TRACE(std::string(row.type) + (row.noSuid ? " nosuid" : ""));
        EXPECT_EQ(mayStall(mount.type), row.stalls);
        EXPECT_EQ(isUserControlled(mount), row.userControlled);
        EXPECT_EQ(keepsFileIdentity(mount), row.keepsIdentity);
    }
}

// A table as a file: read whole however large, looked up by id, by device and path, and along paths.
TEST(MountTableFile, ReadsALargeTableWholeAndFindsMountsByIdDeviceAndPath)
{
    const Scratch scratch;
    const std::string path = scratch.path + "/mountinfo";
    std::ofstream file(path);
    file << "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
            "2 1 8:1 /srv /srv/data rw,nosuid - ext4 /dev/sda1 rw\n"
            "3 1 0:50 / /net rw - nfs4 server:/ rw\n"
            "4 3 8:2 / /net/local rw - ext4 /dev/sda2 rw\n"
            "5 1 8:3 / /usr rw - ext4 /dev/sda3 rw\n"
            "6 1 0:60 / /usr rw,nosuid - tmpfs tmpfs rw\n";
    // Far more than the 256 KiB a mount table was once allowed: hosts with many container mounts.
    for (int line = 0; line < 4000; ++line) {
        file << 100 + line << " 1 0:" << 100 + line << " / /var/lib/containers/storage/overlay/" << std::string(64, 'a')
             << line << "/merged rw,relatime - overlay overlay rw,lowerdir=/l,upperdir=/u,workdir=/w\n";
    }
    file.close();
    ASSERT_GT(std::filesystem::file_size(path), 256U * 1024U);

    MountTable table(path);
    ASSERT_TRUE(table.refresh());
    EXPECT_EQ(table.mounts().size(), 4006U);
    EXPECT_TRUE(table.refresh()) << "kept";
    ASSERT_NE(table.find(4099), nullptr);
    EXPECT_EQ(table.find(4099)->type, "overlay");
    EXPECT_EQ(table.find(99999), nullptr);

    const auto idOf = [](const Mount* mount) { return mount == nullptr ? std::uint64_t {0} : mount->id; };
    EXPECT_EQ(idOf(table.findByDevice(8, 1, "/usr/lib/libc.so.6")), 1U) << "the device decides, then the path";
    EXPECT_EQ(idOf(table.findByDevice(8, 1, "/srv/data/lib.so")), 2U);
    EXPECT_EQ(idOf(table.findByDevice(8, 1, "/srv/database/lib.so")), 1U) << "whole components only";
    EXPECT_EQ(idOf(table.findByDevice(8, 3, "/usr/lib/x.so")), 5U);
    EXPECT_EQ(idOf(table.findByDevice(0, 60, "/usr/lib/x.so")), 6U);
    EXPECT_EQ(idOf(table.findByDevice(8, 9, "/usr/lib/x.so")), 0U) << "an unknown device";
    EXPECT_EQ(idOf(table.findByDevice(8, 2, "/elsewhere/x.so")), 0U) << "a path outside the device's mounts";

    EXPECT_TRUE(table.mayStallOnTheWay(*table.find(4))) << "mounted below NFS";
    EXPECT_FALSE(table.mayStallOnTheWay(*table.find(5)));
    EXPECT_TRUE(table.mayStallAlong("/net/local/bin/x"));
    EXPECT_FALSE(table.mayStallAlong("/network/x"));
    EXPECT_TRUE(table.anyMayStall());

    // Past the limit the table is refused rather than read in part.
    std::filesystem::resize_file(path, MountTable::kMaximumBytes + 1);
    MountTable tooLarge(path);
    EXPECT_FALSE(tooLarge.refresh());
    EXPECT_TRUE(tooLarge.mounts().empty());
}

// This process's own table names the mounts that statx reports, and the walk follows links on them.
TEST(MountedFiles, TheRealTableNamesEveryMountAndTheWalkFollowsLinksOnSteadyMounts)
{
    MountTable table;
    ASSERT_TRUE(table.refresh());
    const auto root = fileStatus(AT_FDCWD, "/");
    ASSERT_TRUE(root);
    ASSERT_NE(table.find(root->mountId), nullptr);

    const Scratch scratch;
    const std::string file = scratch.path + "/entry.desktop";
    std::ofstream(file) << "[Desktop Entry]\n";
    ASSERT_EQ(symlink("entry.desktop", (scratch.path + "/relative").c_str()), 0);
    ASSERT_EQ(symlink(file.c_str(), (scratch.path + "/absolute").c_str()), 0);
    ASSERT_EQ(symlink("loop", (scratch.path + "/loop").c_str()), 0);
    const auto expected = fileStatus(AT_FDCWD, file.c_str());
    ASSERT_TRUE(expected);
    for (const std::string name : {"entry.desktop", "relative", "absolute", "./x/../entry.desktop"}) {
        if (name.starts_with("./x")) {
            std::filesystem::create_directory(scratch.path + "/x");
        }
        const auto opened = openWithoutStalling(scratch.path + "/" + name, table);
        ASSERT_TRUE(opened && *opened) << name;
        const auto status = fileStatus(opened->get());
        EXPECT_TRUE(status && status->inode == expected->inode) << name;
        EXPECT_EQ(readSteadyFile(opened->get(), table, 1024), "[Desktop Entry]\n") << name;
        EXPECT_EQ(readSteadyFile(opened->get(), table, 15), std::nullopt) << "longer than allowed";
    }
    for (const std::string name : {"missing", "loop", "entry.desktop/below"}) {
        const auto opened = openWithoutStalling(scratch.path + "/" + name, table);
        EXPECT_TRUE(opened && !*opened) << name << ": does not resolve, which can be told";
    }
    const auto relative = openWithoutStalling("relative/path", table);
    EXPECT_TRUE(relative && !*relative);
    const auto folder = openWithoutStalling(scratch.path, table);
    ASSERT_TRUE(folder && *folder);
    EXPECT_EQ(readSteadyFile(folder->get(), table, 1024), std::nullopt) << "not a regular file";

    // The mount table of another mount namespace does not hold this one's mounts.
    MountTable empty(scratch.path + "/entry.desktop");
    EXPECT_FALSE(empty.refresh());
    EXPECT_EQ(openWithoutStalling(file, empty), std::nullopt);
}

// A change of the table is noticed by the next refresh, and only then is it read again.
TEST(MountTableChanges, AMountMadeAfterTheReadIsSeenByTheNextRefresh)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "making a mount needs root";
    }
    const Scratch scratch;
    MountTable table;
    ASSERT_TRUE(table.refresh());
    const std::size_t before = table.mounts().size();
    if (::mount("tmpfs", scratch.path.c_str(), "tmpfs", MS_NOSUID, "mode=0700") != 0) {
        GTEST_SKIP() << "this machine does not let the test mount a tmpfs";
    }
    ASSERT_TRUE(table.refresh());
    const bool seen = table.mounts().size() == before + 1 && table.mounts().back().mountPoint == scratch.path &&
        table.mounts().back().noSuid;
    EXPECT_EQ(umount2(scratch.path.c_str(), MNT_DETACH), 0);
    EXPECT_TRUE(seen);
    ASSERT_TRUE(table.refresh());
    EXPECT_EQ(table.mounts().size(), before);
}

} // namespace
} // namespace quorvantile::mounts
