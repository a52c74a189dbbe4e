#include "processes/ProcessInventoryHardware.h"

#include "FakeProcessTable.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorvantile {
namespace {

using testing::FakeProcessTable;
using testing::ManualClock;
using testing::taskOf;

constexpr std::uint32_t kUid = 501;

class ProcessInventoryReader : public ::testing::Test {
protected:
    FakeProcessTable table;
    ManualClock clock {50.0};

    void addProcess(std::int32_t pid, std::string_view name = "proc", std::uint64_t residentBytes = 4096)
    {
        table.listed.push_back(pid);
        table.tasks[pid] = taskOf(pid, kUid, name, residentBytes);
    }

    std::optional<ProcessInventorySnapshot> read(std::int32_t preferredPID = 0)
    {
        return ProcessInventoryHardware::snapshot(preferredPID, table, clock);
    }

    static std::vector<std::int32_t> pidsOf(const ProcessInventorySnapshot& snapshot)
    {
        std::vector<std::int32_t> pids;
        for (const auto& reading : snapshot.readings) {
            pids.push_back(reading.pid);
        }
        return pids;
    }
};

TEST_F(ProcessInventoryReader, BuildsReadingsFromTheTaskRecords)
{
    table.euid = kUid;
    table.listed = {7};
    table.tasks[7] = taskOf(7, kUid, "Safari", 123456, 1'700'000'001, 420'000);
    const auto snapshot = read();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->version, 1);
    EXPECT_EQ(snapshot->uid, kUid);
    EXPECT_DOUBLE_EQ(snapshot->uptime, 50.0);
    EXPECT_FALSE(snapshot->incomplete);
    ASSERT_EQ(snapshot->readings.size(), 1U);
    EXPECT_EQ(
        snapshot->readings[0], (ProcessInventoryReading {7, "Safari", 1'700'000'001, 420'000, 1007, 2007, 123456}));
    EXPECT_EQ(table.calls, (std::vector<std::string> {"list 501", "task 7"})) << "one task call per process";
}

TEST_F(ProcessInventoryReader, RefusesAFailedOrMalformedList)
{
    addProcess(3);
    for (const int bytes : {0, -1, 10, 16385, 16388, 3}) {
        table.listResult = bytes;
        EXPECT_FALSE(read()) << bytes;
    }
}

TEST_F(ProcessInventoryReader, AFullBufferIsIncompleteEvenWhenEveryProcessIsRead)
{
    for (std::int32_t pid = 1; pid <= 4096; ++pid) {
        table.listed.push_back(pid % 16 == 0 ? pid : 0); // only every sixteenth slot is a usable id
        if (pid % 16 == 0) {
            table.tasks[pid] = taskOf(pid, kUid, "p");
        }
    }
    const auto full = read();
    ASSERT_TRUE(full);
    EXPECT_TRUE(full->incomplete);
    EXPECT_EQ(full->readings.size(), 256U) << "below the reading limit, so only the full buffer sets the flag";

    table.listed.resize(4095);
    const auto roomLeft = read();
    ASSERT_TRUE(roomLeft);
    EXPECT_FALSE(roomLeft->incomplete);
}

TEST_F(ProcessInventoryReader, DropsUnusableIdsAndMergesDuplicatesBeforeReading)
{
    addProcess(9);
    addProcess(4);
    table.listed = {9, 0, -3, 4, 9, 4, -2147483647 - 1};
    const auto snapshot = read();
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->incomplete);
    EXPECT_EQ(pidsOf(*snapshot), (std::vector<std::int32_t> {4, 9}));
    EXPECT_EQ(table.calls, (std::vector<std::string> {"list 501", "task 4", "task 9"}));
}

TEST_F(ProcessInventoryReader, AListWithoutUsableIdsGivesAnEmptySnapshot)
{
    table.listed = {0, -1};
    const auto snapshot = read();
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->readings.empty());
    EXPECT_FALSE(snapshot->incomplete);
}

TEST_F(ProcessInventoryReader, LeavesOutProcessesThatCannotBeReadOrDoNotQualify)
{
    addProcess(1, "kept");
    table.listed.push_back(2); // vanished between listing and reading
    addProcess(3);
    table.taskResult[3] = 231;
    addProcess(4);
    table.tasks[4].pbsd.pbi_pid = 40; // another process answered
    addProcess(5);
    table.tasks[5].pbsd.pbi_uid = 0; // changed owner
    addProcess(6);
    table.tasks[6].pbsd.pbi_start_tvsec = 0;
    addProcess(7);
    table.tasks[7].pbsd.pbi_start_tvusec = 1'000'000;
    const auto snapshot = read();
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->incomplete);
    EXPECT_EQ(pidsOf(*snapshot), (std::vector<std::int32_t> {1}));
}

TEST_F(ProcessInventoryReader, TakesTheNameFromNameThenCommand)
{
    addProcess(1);
    testing::setName(table.tasks[1].pbsd.pbi_name, "");
    testing::setName(table.tasks[1].pbsd.pbi_comm, "from-comm");
    addProcess(2);
    testing::setName(table.tasks[2].pbsd.pbi_name, std::string(32, 'n')); // no terminating zero
    testing::setName(table.tasks[2].pbsd.pbi_comm, "unused");
    addProcess(3);
    testing::setName(table.tasks[3].pbsd.pbi_name, "");
    testing::setName(table.tasks[3].pbsd.pbi_comm, std::string(16, 'c')); // no terminating zero
    addProcess(4);
    testing::setName(table.tasks[4].pbsd.pbi_name, "");
    testing::setName(table.tasks[4].pbsd.pbi_comm, "");
    const auto snapshot = read();
    ASSERT_TRUE(snapshot);
    ASSERT_EQ(pidsOf(*snapshot), (std::vector<std::int32_t> {1, 2, 3}));
    EXPECT_EQ(snapshot->readings[0].name, "from-comm");
    EXPECT_EQ(snapshot->readings[1].name, std::string(32, 'n'));
    EXPECT_EQ(snapshot->readings[2].name, std::string(16, 'c'));
    EXPECT_TRUE(snapshot->incomplete) << "a process without any name is left out";
}

TEST_F(ProcessInventoryReader, LeavesOutNamesThatAreNotValidOrHoldControlCharacters)
{
    addProcess(1, "ok \xE2\x9C\x93");
    addProcess(2, "bad\xC3");
    addProcess(3, "tab\there");
    addProcess(4, "line\nfeed");
    addProcess(5, "zero\xE2\x80\x8Bwidth"); // U+200B, a format character
    addProcess(6, "bell\a");
    const auto snapshot = read();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(pidsOf(*snapshot), (std::vector<std::int32_t> {1}));
    EXPECT_TRUE(snapshot->incomplete);
}

TEST_F(ProcessInventoryReader, TheBudgetAllowsExactlyHalfASecond)
{
    for (std::int32_t pid = 1; pid <= 5; ++pid) {
        addProcess(pid);
    }
    // Each read takes 0.25 s: the third process starts at exactly 0.5 s, the fourth after it.
    table.beforeTask = [this](std::int32_t) { clock.advance(0.25); };
    const auto snapshot = read();
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->incomplete);
    EXPECT_EQ(pidsOf(*snapshot), (std::vector<std::int32_t> {1, 2, 3}));
    EXPECT_DOUBLE_EQ(snapshot->uptime, 50.75);
}

TEST_F(ProcessInventoryReader, TheCutKeepsThePreferredProcessAndTheLargest)
{
    // 513 processes; pid 100 is the smallest of all, and pids 1 and 2 tie for the last place.
    for (std::int32_t pid = 1; pid <= 513; ++pid) {
        addProcess(pid, "p", 1'000'000 + static_cast<std::uint64_t>(pid));
    }
    table.tasks[100].ptinfo.pti_resident_size = 1;
    table.tasks[1].ptinfo.pti_resident_size = 5;
    table.tasks[2].ptinfo.pti_resident_size = 5;
    const auto snapshot = read(100);
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->incomplete);
    const auto pids = pidsOf(*snapshot);
    ASSERT_EQ(pids.size(), 512U);
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
    EXPECT_TRUE(std::binary_search(pids.begin(), pids.end(), 100)) << "kept whatever its size";
    EXPECT_TRUE(std::binary_search(pids.begin(), pids.end(), 1)) << "ties go to the lower pid";
    EXPECT_FALSE(std::binary_search(pids.begin(), pids.end(), 2));
}

TEST_F(ProcessInventoryReader, WithoutAListedPreferredProcessTheCutKeepsTheLargest)
{
    for (std::int32_t pid = 1; pid <= 513; ++pid) {
        addProcess(pid, "p", 1000 + static_cast<std::uint64_t>(pid));
    }
    for (const std::int32_t preferred : {0, -1, 9999}) {
        const auto snapshot = read(preferred);
        ASSERT_TRUE(snapshot);
        EXPECT_TRUE(snapshot->incomplete);
        const auto pids = pidsOf(*snapshot);
        ASSERT_EQ(pids.size(), 512U);
        EXPECT_EQ(pids.front(), 2) << "pid 1 is the smallest";
        EXPECT_EQ(pids.back(), 513);
    }
}

TEST_F(ProcessInventoryReader, ExactlyTheLimitIsNotCut)
{
    for (std::int32_t pid = 1; pid <= 512; ++pid) {
        addProcess(pid);
    }
    const auto snapshot = read();
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->incomplete);
    EXPECT_EQ(snapshot->readings.size(), 512U);
}

TEST_F(ProcessInventoryReader, RefusesASnapshotThatFailsItsOwnCheck)
{
    addProcess(1);
    table.nextEffectiveUids = {kUid, kUid + 1}; // the effective user changed during the call
    EXPECT_FALSE(read());

    clock.set(std::nan(""));
    EXPECT_FALSE(read());

    // More than two seconds between finishing and checking.
    clock.set(50.0);
    table.beforeTask = nullptr;
    int uptimeCalls = 0;
    class JumpingClock final : public Clock {
    public:
        explicit JumpingClock(int& calls) : calls_(calls) { }
        [[nodiscard]] double uptime() const override { return ++calls_ <= 3 ? 50.0 : 52.5; }

    private:
        int& calls_;
    } jumping(uptimeCalls);
    EXPECT_FALSE(ProcessInventoryHardware::snapshot(0, table, jumping));
    EXPECT_EQ(uptimeCalls, 4) << "start, one budget check, finish, check";
}

} // namespace
} // namespace quorvantile
