#include "companion/linux/PeerIntegrity.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

namespace quorvantile {
namespace {

TEST(PeerIntegrityParsers, TracerPid)
{
    const std::pair<std::string_view, std::optional<std::int64_t>> cases[] = {
        {"Name:\tsh\nState:\tS (sleeping)\nTracerPid:\t0\nUid:\t0\n", 0}, {"TracerPid:\t4242\n", 4242},
        {"TracerPid:\t12", 12}, // the last line without its line feed
        {"XTracerPid:\t0\n", std::nullopt}, {"TracerPid:\t\n", std::nullopt}, {"TracerPid:\t-1\n", std::nullopt},
        {"TracerPid:\t1x\n", std::nullopt}, {"TracerPid:\t99999999999999999999\n", std::nullopt}, {"", std::nullopt}};
    for (const auto& [status, tracer] : cases) {
        EXPECT_EQ(parseTracerPid(status), tracer) << status;
    }
}

TEST(PeerIntegrityParsers, ExecutableMappingsWithTheirFiles)
{
    const std::string_view maps =
        "55d0c0a00000-55d0c0a02000 r--p 00000000 fe:00 247476                     /usr/bin/a b\n"
        "55d0c0a02000-55d0c0a08000 r-xp 00002000 fe:00 247476                     /usr/bin/a b\n"
        "7f00000000-7f00001000 rwxp 00000000 00:00 0 \n"
        "7f00001000-7f00002000 r-xp 00000000 00:1a 77                         /tmp/x.so (deleted)\n"
        "7f00002000-7f00003000 r-xs 00000000 103:0f 9 /dev/zero\n"
        "7ffd0000-7ffd2000 r-xp 00000000 00:00 0                          [vdso]\n";
    const auto mappings = parseExecutableMappings(maps);
    ASSERT_TRUE(mappings);
    const std::vector<ExecutableMapping> expected {{0xfe, 0, 247476, "/usr/bin/a b", false},
        {0, 0x1a, 77, "/tmp/x.so", true}, {0x103, 0x0f, 9, "/dev/zero", false}};
    EXPECT_EQ(*mappings, expected);

    for (const std::string_view bad : {"7f00-7f01 r-xp 00000000 fe:00 12 /lib/x.so", // no line feed
             "7f00-7f01 r-xp 00000000 fe:00 12 lib/x.so\n", // a relative file
             "7f00-7f01 r-xp 00000000 fe:00 12\n", // a file without a path
             "7f00-7f01 rxp 00000000 fe:00 12 /x\n", "7f00-7f01 r-xq 00000000 fe:00 12 /x\n",
             "7f007f01 r-xp 00000000 fe:00 12 /x\n", "7f00-7f01 r-xp 0000000g fe:00 12 /x\n",
             "7f00-7f01 r-xp 00000000 fe00 12 /x\n", "7f00-7f01 r-xp 00000000 fe:00 1x /x\n",
             "7f00-7f01 r-xp 00000000 fe:00 -1 /x\n", "7f00-7f01  r-xp 00000000 fe:00 12 /x\n"}) {
        EXPECT_FALSE(parseExecutableMappings(bad)) << bad;
    }
    EXPECT_EQ(parseExecutableMappings(""), std::vector<ExecutableMapping> {});
}

TEST(PeerIntegrityParsers, SystemFilesTheMappedFileAndFileSystemsThatMayStall)
{
    const auto status = [](uid_t owner, mode_t mode) {
        struct stat made { };
        made.st_uid = owner;
        made.st_mode = mode;
        made.st_dev = makedev(0xfe, 1);
        made.st_ino = 99;
        return made;
    };
    EXPECT_TRUE(isSystemFile(status(0, S_IFREG | 0755)));
    EXPECT_TRUE(isSystemFile(status(0, S_IFREG | 04755)));
    EXPECT_FALSE(isSystemFile(status(0, S_IFREG | 0775)));
    EXPECT_FALSE(isSystemFile(status(0, S_IFREG | 0757)));
    EXPECT_FALSE(isSystemFile(status(1000, S_IFREG | 0755)));
    EXPECT_FALSE(isSystemFile(status(0, S_IFDIR | 0755)));
    EXPECT_TRUE(isMappedFile({0xfe, 1, 99, "/x", false}, status(0, S_IFREG)));
    EXPECT_FALSE(isMappedFile({0xfe, 2, 99, "/x", false}, status(0, S_IFREG)));
    EXPECT_FALSE(isMappedFile({0xfe, 1, 98, "/x", false}, status(0, S_IFREG)));
    // File systems that may stall a reader (NFS, FUSE, CIFS, 9P), and some that do not (ext4, XFS, btrfs, tmpfs).
    for (const std::int64_t type : std::initializer_list<std::int64_t> {0x6969, 0x65735546, 0xFF534D42, 0x01021997}) {
        EXPECT_TRUE(mayStall(type)) << std::hex << type;
    }
    for (const std::int64_t type : std::initializer_list<std::int64_t> {0xEF53, 0x58465342, 0x9123683E, 0x01021994}) {
        EXPECT_FALSE(mayStall(type)) << std::hex << type;
    }
    EXPECT_TRUE(mayStall(-1)) << "a descriptor that cannot be asked";
}

} // namespace
} // namespace quorvantile
