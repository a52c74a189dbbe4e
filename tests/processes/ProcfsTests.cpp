// The /proc process table: its parsers on literal text, the table on the fixture tree tests/fixtures/proc.
#include "TestPaths.h"
#include "processes/linux/ProcfsProcessTable.h"
#include "processes/linux/ProcfsText.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>
#include <tuple>
#include <vector>

namespace quorvantile::procfs {
namespace {

TEST(ProcfsText, StatmStatusIoBootTimeAndPid)
{
    EXPECT_EQ(parseStatmResidentPages("25000 321 200 10 0 400 0\n"), 321U);
    EXPECT_FALSE(parseStatmResidentPages("25000\n"));
    EXPECT_FALSE(parseStatmResidentPages("25000 -1 0\n"));

    const auto status = parseStatus("Name:\tx\nVmRSS:\t  1284 kB\nRssAnon:\t  1200 kB\nVmSwap:\t      34 kB\n");
    ASSERT_TRUE(status);
    EXPECT_EQ(std::tuple(status->anonymousResidentBytes, status->swappedBytes), std::tuple(1200U * 1024, 34U * 1024));
    const auto zombie = parseStatus("Name:\tx\nState:\tZ (zombie)\nXRssAnon:\t5 kB\n");
    ASSERT_TRUE(zombie) << "memory lines may be missing";
    EXPECT_EQ(zombie->anonymousResidentBytes + zombie->swappedBytes, 0U) << "and keys match whole";
    for (const char* malformed : {"RssAnon:\t12 MB\n", "RssAnon:\t-12 kB\n", "VmSwap:\t99999999999999999999 kB\n",
             "RssAnon:\t18014398509481984 kB\n"}) { // the last fits in 64 bits only as kibibytes
        EXPECT_FALSE(parseStatus(malformed)) << malformed;
    }

    const auto io = parseIo("rchar: 5\nread_bytes: 4096\nwrite_bytes: 8192\ncancelled_write_bytes: 4096\n");
    ASSERT_TRUE(io);
    EXPECT_EQ(std::tuple(io->readBytes, io->writeBytes), std::tuple(4096U, 8192U));
    EXPECT_FALSE(parseIo("rchar: 5\nread_bytes: 4096\n"));
    EXPECT_FALSE(parseIo("read_bytes: x\nwrite_bytes: 1\n"));

    EXPECT_EQ(parseBootTime("cpu  1 2 3\nbtime 1700000000\nprocesses 5\n"), 1'700'000'000U);
    EXPECT_FALSE(parseBootTime("btimes 1\n"));
    EXPECT_FALSE(parseBootTime("btime -1\n"));

    // A process stopped by its tracer ('t') is as stopped as one stopped by a signal.
    const std::string_view states = "RTtZXSDI";
    std::vector<std::uint32_t> statuses;
    std::transform(states.begin(), states.end(), std::back_inserter(statuses), bsdStatus);
    EXPECT_EQ(statuses,
        (std::vector<std::uint32_t> {kProcessStatusRunning, kProcessStatusStopped, kProcessStatusStopped,
            kProcessStatusZombie, kProcessStatusZombie, kProcessStatusSleeping, kProcessStatusSleeping,
            kProcessStatusSleeping}));

    EXPECT_EQ(parsePid("2147483647"), 2147483647);
    for (const char* name : {"", "0", "01", "-1", "+1", "self", "12a", "2147483648", " 1"}) {
        EXPECT_FALSE(parsePid(name)) << name;
    }
}

TEST(ProcfsText, TicksAndStartTimes)
{
    constexpr auto kMaximum = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(ticksToNanoseconds(250, 100), 2'500'000'000U);
    EXPECT_EQ(ticksToNanoseconds(1, 300), 3'333'333U);
    EXPECT_EQ(ticksToNanoseconds(kMaximum, 100), kMaximum) << "saturates";
    EXPECT_EQ(ticksToNanoseconds(5, 0), 0U);
    const StartTime start = startTime(1'700'000'000, 12345, 100);
    EXPECT_EQ(std::tuple(start.seconds, start.microseconds), std::tuple(1'700'000'123U, 450'000U));
    EXPECT_EQ(startTime(10, 1299, 1300).microseconds, 999'230U) << "always below a second";
}

TEST(ProcfsText, NamesAreCutWithoutSplittingACharacter)
{
    EXPECT_EQ(executableName("/usr/bin/sleep (deleted)", 31), "sleep");
    EXPECT_EQ(executableName("relative", 31), "relative");
    EXPECT_EQ(executableName("/x/" + std::string(30, 'a') + "\xE2\x98\x95" + "b", 31), std::string(30, 'a'));
    EXPECT_EQ(executableName("/x/" + std::string(29, 'a') + "\xC3\xA9" + "bb", 31), std::string(29, 'a') + "\xC3\xA9");

    EXPECT_EQ(commandName("bash", 15), "bash");
    EXPECT_EQ(commandName("abcdefghijklmn\xCE", 15), "abcdefghijklmn");
    EXPECT_EQ(commandName("abcdefghijklm\xE2\x98", 15), "abcdefghijklm");
    EXPECT_EQ(commandName("abcdefghijkl\xE2\x98\x95", 15), "abcdefghijkl\xE2\x98\x95") << "complete";
    EXPECT_EQ(commandName("abc\xCE", 15), "abc\xCE") << "not cut: left for the reader to refuse";
}

const std::string kFixture = quorvantile::testing::fixturesDirectory() + "/proc";
const std::uint64_t kTicks = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));

std::string text(const auto& field) { return {field.data(), strnlen(field.data(), field.size())}; }

TEST(ProcfsProcessTableFixture, ListsTheUsersProcessesReadsEachFieldFromItsFileAndFailsWhenOneIsMissingOrCut)
{
    struct stat owner { };
    ASSERT_EQ(::stat((kFixture + "/100").c_str(), &owner), 0);
    ProcfsProcessTable table(kFixture);
    std::array<std::int32_t, kProcessIdSlots> listed {};
    ASSERT_EQ(table.listPids(owner.st_uid, listed), 4 * 4) << "not 600 (a file), self (a link) or sys";
    std::sort(listed.begin(), listed.begin() + 4);
    EXPECT_EQ((std::vector<std::int32_t>(listed.begin(), listed.begin() + 4)),
        (std::vector<std::int32_t> {100, 200, 400, 500}));
    EXPECT_EQ(table.listPids(owner.st_uid + 1, listed), 0) << "nothing of another user";

    ProcessTaskAllInfo task {};
    ASSERT_EQ(table.taskAllInfo(100, task), kTaskAllInfoBytes);
    const ProcessBsdInfo& bsd = task.pbsd;
    EXPECT_EQ(std::tuple(bsd.pbi_pid, bsd.pbi_uid, bsd.pbi_status, text(bsd.pbi_comm), text(bsd.pbi_name)),
        std::tuple(100U, owner.st_uid, kProcessStatusSleeping, "we) ird) name", "an-executable-with-a-rather-lon"));
    EXPECT_EQ(std::tuple(bsd.pbi_start_tvsec, bsd.pbi_start_tvusec),
        std::tuple(1'700'000'000U + 12345 / kTicks, 12345 % kTicks * 1'000'000 / kTicks));
    EXPECT_EQ(std::tuple(task.ptinfo.pti_resident_size, task.ptinfo.pti_total_user, task.ptinfo.pti_total_system,
                  task.ptinfo.pti_threadnum),
        std::tuple(321U * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)), 250ULL * 1'000'000'000 / kTicks,
            130ULL * 1'000'000'000 / kTicks, 3));

    ProcessUsageInfo usage {};
    ASSERT_EQ(table.usageInfo(100, usage), 0);
    EXPECT_EQ(std::tuple(usage.ri_phys_footprint, usage.ri_proc_start_abstime, usage.ri_proc_exit_abstime,
                  usage.ri_diskio_bytesread, usage.ri_diskio_byteswritten),
        std::tuple((1200U + 34U) * 1024, 12345ULL * 1'000'000'000 / kTicks, 0U, 4096U, 8192U));
    EXPECT_EQ(usage.ri_uuid, (std::array<std::uint8_t, kUuidBytes> {})) << "the executable cannot be opened";

    ASSERT_EQ(table.taskAllInfo(200, task), kTaskAllInfoBytes);
    EXPECT_EQ(std::tuple(bsd.pbi_status, text(bsd.pbi_name)), std::tuple(kProcessStatusZombie, "")) << "no executable";
    ASSERT_EQ(table.usageInfo(200, usage), 0);
    EXPECT_GE(usage.ri_proc_exit_abstime, std::max<std::uint64_t>(usage.ri_proc_start_abstime, 1));

    // It fails like the platform when a file is missing or cut.
    ProcessBsdInfo other {};
    ASSERT_EQ(table.taskAllInfo(400, task), kTaskAllInfoBytes);
    EXPECT_EQ(text(task.pbsd.pbi_comm), "abcdefghijklmn") << "the cut sequence is dropped";
    EXPECT_EQ(table.usageInfo(400, usage), -1) << "no io file";
    for (const std::int32_t pid : {500, 999, 0, -100}) { // 500: stat cut short
        EXPECT_EQ(std::tuple(table.bsdInfo(pid, other), table.taskAllInfo(pid, task), table.usageInfo(pid, usage)),
            std::tuple(0, 0, -1))
            << pid;
    }
    EXPECT_EQ(ProcfsProcessTable(kFixture + "/sys").bsdInfo(100, other), 0) << "no boot time without /proc/stat";
    EXPECT_LT(ProcfsProcessTable(kFixture + "/absent").listPids(0, listed), 1);
}

} // namespace
} // namespace quorvantile::procfs
