#include "processes/linux/ProcfsText.h"

#include "processes/ProcessTable.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorvantile::procfs {
namespace {

constexpr std::string_view kTail = " 18446744073709551615 94 95 96 0 0 0 0 4096 0 0 0 17 1 0 0 0 0 0 1 2 3 4 5 6 7 0\n";

std::string statLine(std::string_view head) { return std::string(head) + std::string(kTail); }

TEST(ProcfsStat, ReadsTheFieldsAfterTheCommand)
{
    const std::string text = statLine("4711 (bash) S 1 4711 4711 34816 4711 4194560 8000 90000 1 20 "
                                      "250 130 400 500 20 -5 3 0 12345 10000000 321");
    const auto fields = parseStat(text);
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->pid, 4711);
    EXPECT_EQ(fields->comm, "bash");
    EXPECT_EQ(fields->state, 'S');
    EXPECT_EQ(fields->userTicks, 250U);
    EXPECT_EQ(fields->systemTicks, 130U);
    EXPECT_EQ(fields->threads, 3);
    EXPECT_EQ(fields->startTicks, 12345U);
}

TEST(ProcfsStat, ACommandMayHoldSpacesParenthesesAndLineFeeds)
{
    const std::string text = statLine("9 (a) b (c)\n) d)) Z 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77 0 0");
    const auto fields = parseStat(text);
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->comm, "a) b (c)\n) d)");
    EXPECT_EQ(fields->state, 'Z');
    EXPECT_EQ(fields->startTicks, 77U);

    const std::string emptyText = statLine("9 () R 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77 0 0");
    const auto empty = parseStat(emptyText);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->comm, "");
}

TEST(ProcfsStat, RefusesTextThatIsCutOrMalformed)
{
    const std::string refused[] = {
        "", "9 (x",
        "9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2\n", // ends before the start time
        "9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0\n", // ends before the start time
        statLine("x9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77 0 0"),
        statLine("9 (x) SS 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77 0 0"),
        statLine("9 (x) S 1 9 9 0 -1 0 0 0 0 0 -1 2 0 0 20 0 1 0 77 0 0"), // negative ticks
        statLine("9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 7x 0 0"),
        statLine("9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 2147483648 0 77 0 0"), // threads beyond int32
        statLine("9 (x) S  1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77 0 0"), // an empty field
    };
    for (const auto& text : refused) {
        EXPECT_FALSE(parseStat(text)) << text;
    }
}

TEST(ProcfsStatm, TakesTheResidentPages)
{
    EXPECT_EQ(parseStatmResidentPages("25000 321 200 10 0 400 0\n"), 321U);
    EXPECT_EQ(parseStatmResidentPages("0 0 0 0 0 0 0\n"), 0U);
    EXPECT_FALSE(parseStatmResidentPages("25000\n"));
    EXPECT_FALSE(parseStatmResidentPages("25000 -1 0\n"));
    EXPECT_FALSE(parseStatmResidentPages("x 1 0\n"));
}

TEST(ProcfsStatus, TakesTheAnonymousAndSwappedMemory)
{
    const auto fields = parseStatus("Name:\tx\nUid:\t1000\t0\t1000\t0\nVmRSS:\t  1284 kB\n"
                                    "RssAnon:\t  1200 kB\nRssFile:\t  84 kB\nVmSwap:\t      34 kB\nThreads:\t1\n");
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->anonymousResidentBytes, 1200U * 1024);
    EXPECT_EQ(fields->swappedBytes, 34U * 1024);
}

TEST(ProcfsStatus, MissingMemoryLinesReadAsZeroButMalformedOnesFail)
{
    const auto zombie = parseStatus("Name:\tx\nState:\tZ (zombie)\nUid:\t7\t8\t7\t8\n");
    ASSERT_TRUE(zombie);
    EXPECT_EQ(zombie->anonymousResidentBytes, 0U);
    EXPECT_EQ(zombie->swappedBytes, 0U);

    EXPECT_FALSE(parseStatus("RssAnon:\t12 MB\n"));
    EXPECT_FALSE(parseStatus("RssAnon:\t-12 kB\n"));
    EXPECT_FALSE(parseStatus("VmSwap:\t99999999999999999999 kB\n"));
    const auto prefixed = parseStatus("XRssAnon:\t5 kB\n");
    ASSERT_TRUE(prefixed);
    EXPECT_EQ(prefixed->anonymousResidentBytes, 0U) << "keys match whole";
}

TEST(ProcfsIo, ReadsTheStorageBytes)
{
    const auto io = parseIo("rchar: 5\nwchar: 6\nsyscr: 1\nsyscw: 1\nread_bytes: 4096\nwrite_bytes: 8192\n"
                            "cancelled_write_bytes: 4096\n");
    ASSERT_TRUE(io);
    EXPECT_EQ(io->readBytes, 4096U);
    EXPECT_EQ(io->writeBytes, 8192U);
    EXPECT_FALSE(parseIo("rchar: 5\nread_bytes: 4096\n"));
    EXPECT_FALSE(parseIo("read_bytes: x\nwrite_bytes: 1\n"));
}

TEST(ProcfsBootTime, ReadsTheBtimeLine)
{
    EXPECT_EQ(parseBootTime("cpu  1 2 3\nintr 1 2\nbtime 1700000000\nprocesses 5\n"), 1'700'000'000U);
    EXPECT_FALSE(parseBootTime("cpu  1 2 3\nprocesses 5\n"));
    EXPECT_FALSE(parseBootTime("btime -1\n"));
    EXPECT_FALSE(parseBootTime("btimes 1\n"));
}

TEST(ProcfsPid, OnlyCanonicalPositiveNumbers)
{
    EXPECT_EQ(parsePid("1"), 1);
    EXPECT_EQ(parsePid("2147483647"), 2147483647);
    for (const char* name : {"", "0", "01", "-1", "+1", "self", "12a", "2147483648", " 1"}) {
        EXPECT_FALSE(parsePid(name)) << name;
    }
}

TEST(ProcfsConversions, StatesTicksAndStartTimes)
{
    EXPECT_EQ(bsdStatus('Z'), kProcessStatusZombie);
    EXPECT_EQ(bsdStatus('X'), kProcessStatusZombie);
    EXPECT_EQ(bsdStatus('R'), kProcessStatusRunning);
    EXPECT_EQ(bsdStatus('t'), kProcessStatusStopped);
    EXPECT_EQ(bsdStatus('D'), kProcessStatusSleeping);

    EXPECT_EQ(ticksToNanoseconds(250, 100), 2'500'000'000U);
    EXPECT_EQ(ticksToNanoseconds(1, 300), 3'333'333U);
    EXPECT_EQ(
        ticksToNanoseconds(std::numeric_limits<std::uint64_t>::max(), 100), std::numeric_limits<std::uint64_t>::max())
        << "saturates";
    EXPECT_EQ(ticksToNanoseconds(5, 0), 0U);

    const StartTime start = startTime(1'700'000'000, 12345, 100);
    EXPECT_EQ(start.seconds, 1'700'000'123U);
    EXPECT_EQ(start.microseconds, 450'000U);
    EXPECT_EQ(startTime(10, 1299, 1300).microseconds, 999'230U) << "always below a second";
}

TEST(ProcfsNames, ExecutableNameIsTheBaseNameCutWithoutSplittingACharacter)
{
    EXPECT_EQ(executableName("/usr/bin/sleep", 31), "sleep");
    EXPECT_EQ(executableName("/usr/bin/sleep (deleted)", 31), "sleep");
    EXPECT_EQ(executableName("relative", 31), "relative");
    EXPECT_EQ(executableName("/opt/an-executable-with-a-rather-long-name", 31), "an-executable-with-a-rather-lon");
    // 30 ASCII bytes, then a 3-byte character over the cut: back to 30 bytes.
    const std::string wide = std::string(30, 'a') + "\xE2\x98\x95" + "b";
    EXPECT_EQ(executableName("/x/" + wide, 31), std::string(30, 'a'));
    EXPECT_EQ(executableName("/x/" + std::string(29, 'a') + "\xC3\xA9" + "bb", 31), std::string(29, 'a') + "\xC3\xA9");
}

TEST(ProcfsNames, CommandNameDropsASequenceTheKernelCut)
{
    EXPECT_EQ(commandName("bash", 15), "bash");
    EXPECT_EQ(commandName("abcdefghijklmn\xCE", 15), "abcdefghijklmn");
    EXPECT_EQ(commandName("abcdefghijklm\xE2\x98", 15), "abcdefghijklm");
    EXPECT_EQ(commandName("abcdefghijkl\xE2\x98\x95", 15), "abcdefghijkl\xE2\x98\x95") << "complete";
    EXPECT_EQ(commandName("abc\xCE", 15), "abc\xCE") << "not cut: left for the reader to refuse";
}

} // namespace
} // namespace quorvantile::procfs
