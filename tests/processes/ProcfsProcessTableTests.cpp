#include "processes/linux/ProcfsProcessTable.h"

#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace quorvantile {
namespace {

const std::string kFixture = std::string(QUORVANTILE_FIXTURES_DIR) + "/proc";

std::uint64_t ticksPerSecond() { return static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK)); }

std::string text(const auto& field) { return std::string(field.data(), strnlen(field.data(), field.size())); }

TEST(ProcfsProcessTableFixture, ListsTheNumericDirectoriesOfTheUser)
{
    struct stat fixture { };
    ASSERT_EQ(::stat((kFixture + "/100").c_str(), &fixture), 0);
    ProcfsProcessTable table(kFixture);
    std::array<std::int32_t, kProcessIdSlots> buffer {};
    const int bytes = table.listPids(fixture.st_uid, buffer);
    ASSERT_EQ(bytes, 5 * 4) << "not 600 (a file), self (a link) or sys";
    std::sort(buffer.begin(), buffer.begin() + 5);
    EXPECT_EQ((std::vector<std::int32_t>(buffer.begin(), buffer.begin() + 6)),
        (std::vector<std::int32_t> {100, 200, 300, 400, 500, 0}));
    EXPECT_EQ(table.listPids(fixture.st_uid + 1, buffer), 0) << "nothing of another user";
}

TEST(ProcfsProcessTableFixture, TaskInfoOfAProcess)
{
    struct stat directory { };
    ASSERT_EQ(::stat((kFixture + "/100").c_str(), &directory), 0);
    ProcfsProcessTable table(kFixture);
    ProcessTaskAllInfo info {};
    ASSERT_EQ(table.taskAllInfo(100, info), kTaskAllInfoBytes);
    EXPECT_EQ(info.pbsd.pbi_pid, 100U);
    EXPECT_EQ(info.pbsd.pbi_uid, directory.st_uid) << "the owner of the process directory";
    EXPECT_EQ(info.pbsd.pbi_status, kProcessStatusSleeping);
    EXPECT_EQ(text(info.pbsd.pbi_comm), "we) ird) name");
    EXPECT_EQ(text(info.pbsd.pbi_name), "an-executable-with-a-rather-lon");
    EXPECT_EQ(info.pbsd.pbi_start_tvsec, 1'700'000'000U + 12345 / ticksPerSecond());
    EXPECT_EQ(info.pbsd.pbi_start_tvusec, 12345 % ticksPerSecond() * 1'000'000 / ticksPerSecond());
    EXPECT_EQ(info.ptinfo.pti_resident_size, 321U * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(info.ptinfo.pti_total_user, 250ULL * 1'000'000'000 / ticksPerSecond());
    EXPECT_EQ(info.ptinfo.pti_total_system, 130ULL * 1'000'000'000 / ticksPerSecond());
    EXPECT_EQ(info.ptinfo.pti_threadnum, 3);

    ProcessBsdInfo bsd {};
    ASSERT_EQ(table.bsdInfo(100, bsd), kBsdInfoBytes);
    EXPECT_EQ(bsd.pbi_start_tvsec, info.pbsd.pbi_start_tvsec);
    EXPECT_EQ(text(bsd.pbi_name), text(info.pbsd.pbi_name));
}

TEST(ProcfsProcessTableFixture, UsageOfAProcess)
{
    ProcfsProcessTable table(kFixture);
    ProcessUsageInfo usage {};
    ASSERT_EQ(table.usageInfo(100, usage), 0);
    EXPECT_EQ(usage.ri_phys_footprint, (1200U + 34U) * 1024);
    EXPECT_EQ(usage.ri_proc_start_abstime, 12345ULL * 1'000'000'000 / ticksPerSecond());
    EXPECT_EQ(usage.ri_proc_exit_abstime, 0U);
    EXPECT_EQ(usage.ri_diskio_bytesread, 4096U);
    EXPECT_EQ(usage.ri_diskio_byteswritten, 8192U);
    EXPECT_EQ(usage.ri_uuid, (std::array<std::uint8_t, kUuidBytes> {})) << "the executable cannot be opened";
}

TEST(ProcfsProcessTableFixture, AZombieHasAnExitTimeAndNoExecutableName)
{
    ProcfsProcessTable table(kFixture);
    ProcessTaskAllInfo info {};
    ASSERT_EQ(table.taskAllInfo(200, info), kTaskAllInfoBytes);
    EXPECT_EQ(info.pbsd.pbi_status, kProcessStatusZombie);
    EXPECT_EQ(text(info.pbsd.pbi_name), "");
    EXPECT_EQ(text(info.pbsd.pbi_comm), "defunct-child");
    ProcessUsageInfo usage {};
    ASSERT_EQ(table.usageInfo(200, usage), 0);
    EXPECT_NE(usage.ri_proc_exit_abstime, 0U);
    EXPECT_GE(usage.ri_proc_exit_abstime, usage.ri_proc_start_abstime);
    EXPECT_EQ(usage.ri_phys_footprint, 0U);
}

TEST(ProcfsProcessTableFixture, PassesOnWhatTheFilesSayAndFailsLikeThePlatform)
{
    ProcfsProcessTable table(kFixture);
    ProcessBsdInfo bsd {};
    ASSERT_EQ(table.bsdInfo(300, bsd), kBsdInfoBytes);
    EXPECT_EQ(bsd.pbi_pid, 301U) << "the readers judge the pid, not the table";

    ProcessTaskAllInfo info {};
    ASSERT_EQ(table.taskAllInfo(400, info), kTaskAllInfoBytes);
    EXPECT_EQ(text(info.pbsd.pbi_comm), "abcdefghijklmn") << "the cut sequence is dropped";
    EXPECT_EQ(info.pbsd.pbi_status, kProcessStatusStopped);
    ProcessUsageInfo usage {};
    EXPECT_EQ(table.usageInfo(400, usage), -1) << "no io file";

    EXPECT_EQ(table.bsdInfo(500, bsd), 0) << "stat cut short";
    EXPECT_EQ(table.taskAllInfo(500, info), 0);
    EXPECT_EQ(table.usageInfo(500, usage), -1);
    for (const std::int32_t missing : {999, 0, -100}) {
        EXPECT_EQ(table.bsdInfo(missing, bsd), 0);
        EXPECT_EQ(table.taskAllInfo(missing, info), 0);
        EXPECT_EQ(table.usageInfo(missing, usage), -1);
    }
}

TEST(ProcfsProcessTableFixture, WithoutARootOrABootTimeNothingIsRead)
{
    ProcfsProcessTable missing(kFixture + "/absent");
    std::array<std::int32_t, kProcessIdSlots> buffer {};
    EXPECT_LT(missing.listPids(0, buffer), 1);

    ProcfsProcessTable noBootTime(kFixture + "/sys"); // a directory without a stat file
    ProcessBsdInfo bsd {};
    EXPECT_EQ(noBootTime.bsdInfo(100, bsd), 0);
}

TEST(ProcfsProcessTableLive, ListsThisProcessAndNotOthersOfAnotherUser)
{
    ProcfsProcessTable table;
    std::array<std::int32_t, kProcessIdSlots> buffer {};
    const int bytes = table.listPids(static_cast<std::uint32_t>(::geteuid()), buffer);
    ASSERT_GT(bytes, 0);
    const auto end = buffer.begin() + bytes / 4;
    EXPECT_NE(std::find(buffer.begin(), end, ::getpid()), end);
    if (::geteuid() != 0) {
        EXPECT_EQ(std::find(buffer.begin(), end, 1), end) << "init belongs to root";
    }
}

TEST(ProcfsProcessTableLive, TheIdentityOfAProcessIsTheSameOnEveryCall)
{
    testing::ChildProcess child({"sleep", "30"});
    ASSERT_GT(child.pid(), 0);
    ProcessBsdInfo first {};
    ASSERT_EQ(ProcfsProcessTable().bsdInfo(child.pid(), first), kBsdInfoBytes);
    EXPECT_EQ(text(first.pbi_name), "sleep");
    EXPECT_EQ(text(first.pbi_comm), "sleep");
    EXPECT_EQ(first.pbi_uid, static_cast<std::uint32_t>(::geteuid()));
    for (int round = 0; round < 20; ++round) {
        ProcessTaskAllInfo again {};
        ASSERT_EQ(ProcfsProcessTable().taskAllInfo(child.pid(), again), kTaskAllInfoBytes);
        EXPECT_EQ(again.pbsd.pbi_start_tvsec, first.pbi_start_tvsec);
        EXPECT_EQ(again.pbsd.pbi_start_tvusec, first.pbi_start_tvusec);
    }
}

TEST(ProcfsProcessTableLive, ANonDumpableProcessIsListedUnderItsEffectiveUid)
{
    // As root the child becomes user 65534, so that the owner cannot be root by accident; otherwise
    // it stays this user. Either way it turns itself non-dumpable, which makes the kernel give most of
    // its /proc files to root, but not the directory itself.
    const bool switchUser = ::geteuid() == 0;
    const std::uint32_t expected = switchUser ? 65534U : static_cast<std::uint32_t>(::geteuid());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool ok =
            !switchUser || (::setgroups(0, nullptr) == 0 && ::setgid(expected) == 0 && ::setuid(expected) == 0);
        if (ok && ::prctl(PR_SET_DUMPABLE, 0) == 0) {
            const char byte = 1;
            (void)!::write(ready[1], &byte, 1);
            ::pause();
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    testing::ChildProcess child = testing::ChildProcess::adopt(pid);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the child could not prepare itself";
    ::close(ready[0]);

    ProcfsProcessTable table;
    ProcessBsdInfo bsd {};
    ASSERT_EQ(table.bsdInfo(pid, bsd), kBsdInfoBytes);
    EXPECT_EQ(bsd.pbi_uid, expected);
    std::array<std::int32_t, kProcessIdSlots> buffer {};
    const int bytes = table.listPids(expected, buffer);
    ASSERT_GT(bytes, 0);
    EXPECT_NE(std::find(buffer.begin(), buffer.begin() + bytes / 4, pid), buffer.begin() + bytes / 4);
}

// The build id as readelf prints it for `path`, or empty.
std::string readelfBuildId(const std::string& path)
{
    const std::string command = "LC_ALL=C readelf -n '" + path + "' 2>/dev/null";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) {
        return {};
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        const std::string_view view(line);
        const auto position = view.find("Build ID: ");
        if (position != std::string_view::npos) {
            std::string id(view.substr(position + 10));
            id.erase(id.find_last_not_of("\r\n \t") + 1);
            return id;
        }
    }
    return {};
}

std::string hex(const std::array<std::uint8_t, kUuidBytes>& bytes)
{
    std::string out;
    char digits[3];
    for (const auto byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        out += digits;
    }
    return out;
}

TEST(ProcfsProcessTableLive, TheExecutableUuidIsTheStartOfTheBuildId)
{
    testing::ChildProcess child({"sleep", "30"});
    ASSERT_GT(child.pid(), 0);
    char target[4096] {};
    const std::string exe = "/proc/" + std::to_string(child.pid()) + "/exe";
    ASSERT_GT(::readlink(exe.c_str(), target, sizeof target - 1), 0);

    // readelf runs in a child, so this process's executable is named by its path.
    char self[4096] {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string selfPath(self);
    for (const auto& [pid, path] : {std::pair {child.pid(), std::string(target)}, std::pair {::getpid(), selfPath}}) {
        std::string expected = readelfBuildId(path);
        if (expected.empty()) {
            GTEST_SKIP() << path << " has no build id readelf can show";
        }
        expected.resize(32, '0'); // the first 16 bytes, zero-padded when shorter
        ProcessUsageInfo usage {};
        ASSERT_EQ(ProcfsProcessTable().usageInfo(pid, usage), 0);
        EXPECT_EQ(hex(usage.ri_uuid), expected) << path;
    }
}

TEST(ProcfsProcessTableLive, AZombieChildIsMarkedAndHasExited)
{
    testing::ChildProcess child({"sleep", "30"});
    ASSERT_GT(child.pid(), 0);
    ASSERT_TRUE(child.killToZombie());
    ProcfsProcessTable table;
    ProcessBsdInfo bsd {};
    ASSERT_EQ(table.bsdInfo(child.pid(), bsd), kBsdInfoBytes);
    EXPECT_EQ(bsd.pbi_status, kProcessStatusZombie);
    ProcessUsageInfo usage {};
    if (table.usageInfo(child.pid(), usage) == 0) {
        EXPECT_NE(usage.ri_proc_exit_abstime, 0U);
    }
}

} // namespace
} // namespace quorvantile
