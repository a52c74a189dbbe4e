// The process readers' rules, driven through a fake process table and a clock set by hand.
#include "processes/ProcessDetailHardware.h"
#include "processes/ProcessInventoryHardware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace quorvantile {
namespace {

constexpr std::uint32_t kFakeUid = 501;

struct ManualClock final : Clock {
    explicit ManualClock(double start) : now(start) { }
    double now;
    [[nodiscard]] double uptime() const override { return now; }
};

// Copies `name` into a fixed field, without a terminating zero when it fills the field.
template<std::size_t Size> void setName(std::array<char, Size>& field, std::string_view name)
{
    field.fill('\0');
    std::copy_n(name.begin(), std::min(name.size(), Size), field.begin());
}

// A valid process of kFakeUid; its command is its name cut to 15 bytes.
ProcessTaskAllInfo taskOf(std::int32_t pid, std::string_view name = "proc", std::uint64_t residentBytes = 4096,
    std::uint64_t startSeconds = 1'700'000'000, std::uint64_t startMicroseconds = 0)
{
    ProcessTaskAllInfo info {};
    info.pbsd = {
        kProcessStatusSleeping, static_cast<std::uint32_t>(pid), kFakeUid, {}, {}, startSeconds, startMicroseconds};
    setName(info.pbsd.pbi_comm, name.substr(0, kCommBytes - 1));
    setName(info.pbsd.pbi_name, name);
    info.ptinfo = {residentBytes, 1000 + static_cast<std::uint64_t>(pid), 2000 + static_cast<std::uint64_t>(pid), 3};
    return info;
}

// Answers what the test set and records every call ("list 501", "bsd 12", "task 12", "usage 12").
class FakeProcessTable final : public ProcessTable {
public:
    std::uint32_t euid = kFakeUid;
    std::vector<std::int32_t> listed;
    std::map<std::int32_t, ProcessTaskAllInfo> tasks; // bsdInfo answers their BSD part; others fail
    std::map<std::int32_t, std::deque<std::pair<int, ProcessUsageInfo>>> usages; // one per call, then -1
    std::map<std::string, int> results; // overrides the result of a call, keyed as in `calls`
    std::function<void(std::int32_t)> beforeTask = [](std::int32_t) {};
    std::vector<std::string> calls;

    int listPids(std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer) override
    {
        const std::size_t count = std::min(listed.size(), buffer.size());
        std::copy_n(listed.begin(), count, buffer.begin());
        return answer("list " + std::to_string(uid), static_cast<int>(count * sizeof(std::int32_t)));
    }
    int bsdInfo(std::int32_t pid, ProcessBsdInfo& info) override
    {
        const auto found = tasks.find(pid);
        info = found != tasks.end() ? found->second.pbsd : info;
        return answer("bsd " + std::to_string(pid), found != tasks.end() ? kBsdInfoBytes : 0);
    }
    int taskAllInfo(std::int32_t pid, ProcessTaskAllInfo& info) override
    {
        beforeTask(pid);
        const auto found = tasks.find(pid);
        info = found != tasks.end() ? found->second : info;
        return answer("task " + std::to_string(pid), found != tasks.end() ? kTaskAllInfoBytes : 0);
    }
    int usageInfo(std::int32_t pid, ProcessUsageInfo& info) override
    {
        auto& queue = usages[pid];
        const auto [result, sample] = queue.empty() ? std::pair(-1, info) : queue.front();
        info = sample;
        if (!queue.empty()) {
            queue.pop_front();
        }
        return answer("usage " + std::to_string(pid), result);
    }
    [[nodiscard]] std::uint32_t effectiveUid() const override { return euid; }
    // Reading on several threads has tests of its own (InventoryThreadsTests.cpp).
    [[nodiscard]] std::unique_ptr<ProcessTable> viewForAnotherThread() const override { return nullptr; }

private:
    int answer(const std::string& call, int result)
    {
        calls.push_back(call);
        const auto forced = results.find(call);
        return forced != results.end() ? forced->second : result;
    }
};

class ProcessInventoryReader : public ::testing::Test {
protected:
    FakeProcessTable table;
    ManualClock clock {50.0};

    void add(std::int32_t pid, std::uint64_t residentBytes = 4096)
    {
        table.listed.push_back(pid);
        table.tasks[pid] = taskOf(pid, "proc", residentBytes);
    }
    std::optional<ProcessInventorySnapshot> read(std::int32_t preferredPID = 0)
    {
        return ProcessInventoryHardware::snapshot(preferredPID, table, clock);
    }
    static std::vector<std::int32_t> pids(const std::optional<ProcessInventorySnapshot>& snapshot)
    {
        std::vector<std::int32_t> pids;
        std::ranges::transform(snapshot.value().readings, std::back_inserter(pids), &ProcessInventoryReading::pid);
        return pids;
    }
};

TEST_F(ProcessInventoryReader, ReadsEachUsableListedIdOnceFromItsTaskRecord)
{
    table.listed = {9, 0, -3, 7, 9, 7, std::numeric_limits<std::int32_t>::min()};
    table.tasks[9] = taskOf(9);
    table.tasks[7] = taskOf(7, "Safari", 123456, 1'700'000'001, 420'000);
    EXPECT_EQ(read(),
        (ProcessInventorySnapshot {1, 50.0, kFakeUid, false,
            {{7, "Safari", 1'700'000'001, 420'000, 1007, 2007, 123456},
                {9, "proc", 1'700'000'000, 0, 1009, 2009, 4096}}}));
    EXPECT_EQ(table.calls, (std::vector<std::string> {"list 501", "task 7", "task 9"}));
    table.listed = {0, -1};
    EXPECT_EQ(read(), (ProcessInventorySnapshot {1, 50.0, kFakeUid, false, {}}));
}

TEST_F(ProcessInventoryReader, RefusesAFailedOrMalformedListAndASnapshotThatFailsItsOwnCheck)
{
    add(3);
    for (const int bytes : {0, -1, 3, 10, 16385, 16388}) {
        table.results["list 501"] = bytes;
        EXPECT_FALSE(read()) << bytes;
    }
    table.results.clear();
    clock.now = std::nan("");
    EXPECT_FALSE(read());
    clock.now = 50.0;
    table.beforeTask = [this](std::int32_t) { table.euid = kFakeUid + 1; }; // the effective user changed meanwhile
    EXPECT_FALSE(read());
}

TEST_F(ProcessInventoryReader, AFullIdBufferIsIncompleteEvenWhenEveryProcessIsRead)
{
    // Only every sixteenth slot holds a usable id, so the reading limit plays no part.
    for (std::int32_t slot = 1; slot <= 4096; ++slot) {
        table.listed.push_back(slot % 16 == 0 ? slot : 0);
        table.tasks[slot] = taskOf(slot);
    }
    EXPECT_TRUE(read().value().incomplete);
    EXPECT_EQ(pids(read()).size(), 256U);
    table.listed.pop_back();
    EXPECT_FALSE(read().value().incomplete);
}

TEST_F(ProcessInventoryReader, LeavesOutWhatCannotBeReadDoesNotQualifyOrHasNoValidName)
{
    const auto named = [](const std::string& name, const std::string& comm) {
        return [=](ProcessTaskAllInfo& task) {
            setName(task.pbsd.pbi_name, name);
            setName(task.pbsd.pbi_comm, comm);
        };
    };
    const std::string fullName(kNameBytes, 'n'); // fields without a terminating zero
    const std::string fullComm(kCommBytes, 'c');
    const struct {
        const char* what;
        std::function<void(ProcessTaskAllInfo&)> change;
        std::optional<std::string> name; // absent: left out, and the snapshot is incomplete
    } rows[] = {
        {"as made", [](auto&) {}, "proc"},
        {"gone since listed", [this](auto&) { table.tasks.clear(); }, std::nullopt},
        {"short record", [this](auto&) { table.results["task 1"] = kTaskAllInfoBytes - 1; }, std::nullopt},
        {"another process answered", [](auto& task) { task.pbsd.pbi_pid = 40; }, std::nullopt},
        {"changed owner", [](auto& task) { task.pbsd.pbi_uid = 0; }, std::nullopt},
        {"no start time", [](auto& task) { task.pbsd.pbi_start_tvsec = 0; }, std::nullopt},
        {"a second of microseconds", [](auto& task) { task.pbsd.pbi_start_tvusec = 1'000'000; }, std::nullopt},
        {"no name", named("", "from-comm"), "from-comm"},
        {"full name", named(fullName, "unused"), fullName},
        {"full command", named("", fullComm), fullComm},
        {"neither", named("", ""), std::nullopt},
        {"non-ASCII", named("ok \xE2\x9C\x93", ""), "ok \xE2\x9C\x93"},
        {"invalid name, not replaced by the command", named("bad\xC3", "good"), std::nullopt},
        {"a control character", named("tab\there", ""), std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        table.results.clear();
        table.listed = {1};
        table.tasks[1] = taskOf(1);
        row.change(table.tasks[1]);
        const auto snapshot = read();
        ASSERT_TRUE(snapshot);
        EXPECT_EQ(snapshot->readings.empty() ? std::nullopt : std::optional(snapshot->readings[0].name), row.name);
        EXPECT_EQ(snapshot->incomplete, !row.name);
    }
}

TEST_F(ProcessInventoryReader, TheBudgetAllowsExactlyHalfASecond)
{
    for (std::int32_t pid = 1; pid <= 5; ++pid) {
        add(pid);
    }
    // Each read takes 0.25 s: the third begins at exactly 0.5 s, the fourth after it.
    table.beforeTask = [this](std::int32_t) { clock.now += 0.25; };
    const auto snapshot = read();
    EXPECT_EQ(pids(snapshot), (std::vector<std::int32_t> {1, 2, 3}));
    EXPECT_TRUE(snapshot->incomplete);
    EXPECT_DOUBLE_EQ(snapshot->uptime, 50.75);
}

TEST_F(ProcessInventoryReader, TheCutKeepsThePreferredProcessAndTheLargestWithTiesToTheLowerPid)
{
    for (std::int32_t pid = 1; pid <= 512; ++pid) {
        add(pid, 1'000'000 + static_cast<std::uint64_t>(pid));
    }
    EXPECT_FALSE(read().value().incomplete) << "512 readings are not cut";
    add(513, 2'000'000);
    table.tasks[100].ptinfo.pti_resident_size = 1; // the smallest of all
    table.tasks[1].ptinfo.pti_resident_size = 5; // 1 and 2 tie for the last place kept
    table.tasks[2].ptinfo.pti_resident_size = 5;
    for (const std::int32_t preferred : {100, 0, -1, 9999}) {
        SCOPED_TRACE(preferred);
        const auto snapshot = read(preferred);
        const auto kept = pids(snapshot);
        EXPECT_TRUE(snapshot->incomplete);
        ASSERT_EQ(kept.size(), 512U);
        EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
        const std::int32_t dropped = 513 * 514 / 2 - std::accumulate(kept.begin(), kept.end(), 0);
        EXPECT_EQ(dropped, preferred == 100 ? 2 : 100);
    }
}

constexpr std::int32_t kPid = 812;
constexpr ProcessDetailRequest kRequest {kPid, 1'700'000'000, 250'000};

ProcessUsageInfo usageSample(std::uint64_t footprint)
{
    ProcessUsageInfo info {};
    info.ri_uuid = {0x00, 0x01, 0x0a, 0xff, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xcd};
    info.ri_phys_footprint = footprint;
    info.ri_proc_start_abstime = 123'456'789;
    info.ri_diskio_bytesread = footprint + 1;
    info.ri_diskio_byteswritten = footprint + 2;
    return info;
}

// The reading of a process that could not be verified: its request alone.
ProcessDetailReading unverified(const ProcessDetailRequest& request) { return {request, {}, {}, {}, {}, {}, {}}; }

// The table holds kRequest's process; its two usage samples answer `first`, then `second`.
struct DetailTable {
    FakeProcessTable table;
    ManualClock clock {80.0};
    std::pair<int, ProcessUsageInfo> first {0, usageSample(1000)};
    std::pair<int, ProcessUsageInfo> second {0, usageSample(2000)};

    DetailTable() { table.tasks[kPid] = taskOf(kPid, "Mail", 4096, kRequest.startSeconds, kRequest.startMicroseconds); }
    ProcessDetailReading readOne()
    {
        table.usages[kPid] = {first, second};
        const ProcessDetailSnapshot snapshot = ProcessDetailHardware::snapshot(std::vector {kRequest}, table, clock);
        EXPECT_EQ(snapshot.readings.size(), 1U);
        return snapshot.readings.empty() ? ProcessDetailReading {} : snapshot.readings.front();
    }
};

TEST(ProcessDetailReader, ChecksTheIdentityFirstAndThenAllThreeSamplesTogether)
{
    const std::vector<std::string> identityOnly {"bsd 812"};
    const std::vector<std::string> allSamples {"bsd 812", "usage 812", "task 812", "usage 812"};
    using Change = std::function<void(DetailTable&)>;
    const auto bsd = [](std::function<void(ProcessBsdInfo&)> change) -> Change {
        return [change](DetailTable& d) { change(d.table.tasks[kPid].pbsd); };
    };
    // The BSD answer comes from the same record, so a change meant for the task sample waits for it.
    const auto atTaskSample = [](std::function<void(ProcessBsdInfo&)> change) -> Change {
        return [change](DetailTable& d) {
            d.table.beforeTask = [&d, change](std::int32_t) { change(d.table.tasks[kPid].pbsd); };
        };
    };
    const struct {
        const char* what;
        Change change;
        bool empty;
        const std::vector<std::string>& calls;
    } rows[] = {
        {"verified", [](auto&) {}, false, allSamples},
        {"short BSD record", [](auto& d) { d.table.results["bsd 812"] = kBsdInfoBytes - 1; }, true, identityOnly},
        {"gone", [](auto& d) { d.table.tasks.erase(kPid); }, true, identityOnly},
        {"another pid answered", bsd([](auto& b) { b.pbi_pid += 1; }), true, identityOnly},
        {"another user's", bsd([](auto& b) { b.pbi_uid = 0; }), true, identityOnly},
        {"started a second earlier", bsd([](auto& b) { b.pbi_start_tvsec -= 1; }), true, identityOnly},
        {"started a microsecond later", bsd([](auto& b) { b.pbi_start_tvusec += 1; }), true, identityOnly},
        {"we run as another user now", [](auto& d) { d.table.euid += 1; }, true, identityOnly},
        {"first usage sample failed", [](auto& d) { d.first.first = -1; }, true, allSamples},
        {"second usage sample failed", [](auto& d) { d.second.first = -1; }, true, allSamples},
        {"second usage sample answered 1", [](auto& d) { d.second.first = 1; }, true, allSamples},
        {"short task record", [](auto& d) { d.table.results["task 812"] = kTaskAllInfoBytes - 1; }, true, allSamples},
        {"replaced before the task sample", atTaskSample([](auto& b) { b.pbi_start_tvusec += 1; }), true, allSamples},
        {"negative thread count", [](auto& d) { d.table.tasks[kPid].ptinfo.pti_threadnum = -1; }, true, allSamples},
        {"no start time",
            [](auto& d) { d.first.second.ri_proc_start_abstime = d.second.second.ri_proc_start_abstime = 0; }, true,
            allSamples},
        {"start times differ", [](auto& d) { d.second.second.ri_proc_start_abstime += 1; }, true, allSamples},
        {"exited before the first sample", [](auto& d) { d.first.second.ri_proc_exit_abstime = 5; }, true, allSamples},
        {"exited before the second sample", [](auto& d) { d.second.second.ri_proc_exit_abstime = 5; }, true,
            allSamples},
        {"another executable", [](auto& d) { d.second.second.ri_uuid[15] ^= 1; }, true, allSamples},
        {"a new state is no new identity", atTaskSample([](auto& b) { b.pbi_status = kProcessStatusRunning; }), false,
            allSamples},
        {"no threads is a figure", [](auto& d) { d.table.tasks[kPid].ptinfo.pti_threadnum = 0; }, false, allSamples},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DetailTable detail;
        row.change(detail);
        EXPECT_EQ(detail.readOne() == unverified(kRequest), row.empty);
        EXPECT_EQ(detail.table.calls, row.calls);
    }
}

TEST(ProcessDetailReader, ReadingsFollowTheRequestsAndUptimeFollowsTheLastReading)
{
    DetailTable detail;
    detail.table.usages[kPid] = {detail.first, detail.second};
    detail.table.beforeTask = [&](std::int32_t) { detail.clock.now += 0.5; };
    const std::vector<ProcessDetailRequest> requests {{99, 1, 0}, kRequest, {kPid, 1, 0}};
    // The figures come from the second usage sample; the third request has the pid but not the start time.
    EXPECT_EQ(ProcessDetailHardware::snapshot(requests, detail.table, detail.clock),
        (ProcessDetailSnapshot {1, 80.5,
            {unverified(requests[0]), {kRequest, 123'456'789, "00010aff102030405060708090a0b0cd", 2000, 2001, 2002, 3},
                unverified(requests[2])}}));
}

} // namespace
} // namespace quorvantile
