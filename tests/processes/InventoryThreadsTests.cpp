// The inventory read on several threads, over a fake table whose views all answer from one set of
// processes and record which thread read what. Run under ThreadSanitizer too (the thread preset).
#include "processes/ProcessInventoryHardware.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quorvantile {
namespace {

constexpr std::uint32_t kFakeUid = 501;

// What every view of one fake table shares. The processes are set before the reader runs and only
// read while it runs; the records of the reads are guarded.
struct SharedProcesses {
    std::vector<std::int32_t> listed;
    std::map<std::int32_t, ProcessTaskAllInfo> tasks; // others fail to be read
    std::size_t viewsAllowed = std::numeric_limits<std::size_t>::max();
    // The first reads wait (5 s at most, once) until this many threads have begun reading, so that
    // each thread the reader starts is seen to take part however fast the others are.
    std::size_t threadsToMeet = 1;
    std::function<void()> beforeRead = [] {};
    std::function<void()> onList = [] {};
    // A listing that tells its progress after each id, calls this then, and returns `listResult`
    // when it is set.
    bool tellsProgress = false;
    std::function<void(std::size_t)> whileListing = [](std::size_t) {};
    std::optional<int> listResult;

    std::mutex mutex;
    std::condition_variable met;
    std::size_t viewsMade = 0;
    bool meetingOver = false;
    std::map<std::int32_t, int> reads; // pid: how often it was read
    std::set<std::thread::id> readers;
};

class SharedFakeTable final : public ProcessTable {
public:
    explicit SharedFakeTable(SharedProcesses& shared) : shared_(shared) { }

    int listPids(std::uint32_t, std::span<std::int32_t, kProcessIdSlots> buffer) override
    {
        shared_.onList();
        const std::size_t count = std::min(shared_.listed.size(), buffer.size());
        std::copy_n(shared_.listed.begin(), count, buffer.begin());
        return static_cast<int>(count * sizeof(std::int32_t));
    }
    int listPidsTelling(
        std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer, ListingProgress& progress) override
    {
        if (!shared_.tellsProgress) {
            return listPids(uid, buffer);
        }
        shared_.onList();
        const std::size_t count = std::min(shared_.listed.size(), buffer.size());
        for (std::size_t index = 0; index < count; ++index) {
            buffer[index] = shared_.listed[index];
            progress.listed(index + 1);
            shared_.whileListing(index + 1);
        }
        return shared_.listResult.value_or(static_cast<int>(count * sizeof(std::int32_t)));
    }
    int bsdInfo(std::int32_t, ProcessBsdInfo&) override { return 0; }
    int taskAllInfo(std::int32_t pid, ProcessTaskAllInfo& info) override
    {
        {
            std::unique_lock lock(shared_.mutex);
            ++shared_.reads[pid];
            shared_.readers.insert(std::this_thread::get_id());
            shared_.met.notify_all();
            if (!shared_.meetingOver) {
                shared_.met.wait_for(
                    lock, std::chrono::seconds(5), [this] { return shared_.readers.size() >= shared_.threadsToMeet; });
                shared_.meetingOver = true;
            }
        }
        shared_.beforeRead();
        const auto found = shared_.tasks.find(pid);
        if (found == shared_.tasks.end()) {
            return 0;
        }
        info = found->second;
        return kTaskAllInfoBytes;
    }
    int usageInfo(std::int32_t, ProcessUsageInfo&) override { return -1; }
    [[nodiscard]] std::uint32_t effectiveUid() const override { return kFakeUid; }
    [[nodiscard]] std::unique_ptr<ProcessTable> viewForAnotherThread() const override
    {
        const std::lock_guard lock(shared_.mutex);
        if (shared_.viewsMade == shared_.viewsAllowed) {
            return nullptr;
        }
        ++shared_.viewsMade;
        return std::make_unique<SharedFakeTable>(shared_);
    }

private:
    SharedProcesses& shared_;
};

// A clock that other threads may move.
struct SharedClock final : Clock {
    std::atomic<double> now {50.0};
    [[nodiscard]] double uptime() const override { return now.load(); }
};

ProcessTaskAllInfo taskOf(std::int32_t pid, std::string_view name, std::uint64_t residentBytes)
{
    ProcessTaskAllInfo info {};
    info.pbsd.pbi_pid = static_cast<std::uint32_t>(pid);
    info.pbsd.pbi_uid = kFakeUid;
    info.pbsd.pbi_start_tvsec = 1'700'000'000 + static_cast<std::uint64_t>(pid);
    std::copy_n(name.begin(), std::min(name.size(), kNameBytes), info.pbsd.pbi_name.begin());
    info.ptinfo.pti_resident_size = residentBytes;
    info.ptinfo.pti_total_user = 1000 + static_cast<std::uint64_t>(pid);
    return info;
}

class InventoryThreads : public ::testing::Test {
protected:
    SharedProcesses shared;
    SharedFakeTable table {shared};
    SharedClock clock;

    // `count` processes from pid 100 on, with sizes that tie and differ.
    void addProcesses(std::int32_t count)
    {
        for (std::int32_t pid = 100; pid < 100 + count; ++pid) {
            shared.listed.push_back(pid);
            shared.tasks[pid] = taskOf(pid, "proc", 4096 * static_cast<std::uint64_t>(pid % 7));
        }
    }
    Result<ProcessInventorySnapshot> read(std::size_t threads, std::int32_t preferredPID = 0)
    {
        shared.reads.clear();
        shared.readers.clear();
        shared.viewsMade = 0;
        shared.meetingOver = false;
        return ProcessInventoryHardware::snapshot(preferredPID, table, clock, threads);
    }
};

TEST_F(InventoryThreads, EveryThreadReadsAShareAndTheResultIsOneThreadsResult)
{
    addProcesses(600);
    // Some that fail in each way the reader knows, spread over the list.
    shared.tasks.erase(150);
    shared.tasks[260].pbsd.pbi_uid = 0;
    shared.tasks[377] = taskOf(377, "bad\xC3", 4096);
    shared.tasks[512].pbsd.pbi_pid = 9;
    shared.listed.insert(shared.listed.end(), {0, -5, 300, 300});

    const auto alone = read(1, 640);
    ASSERT_TRUE(alone);
    EXPECT_TRUE(alone->incomplete);
    EXPECT_EQ(alone->readings.size(), kMaximumInventoryReadings) << "cut to the limit";
    EXPECT_EQ(shared.viewsMade, 0U);

    shared.threadsToMeet = kMaximumInventoryThreads;
    const auto shared4 = read(kMaximumInventoryThreads, 640);
    ASSERT_TRUE(shared4);
    EXPECT_EQ(*shared4, *alone);
    EXPECT_EQ(shared.viewsMade, kMaximumInventoryThreads - 1);
    EXPECT_EQ(shared.readers.size(), kMaximumInventoryThreads) << "every thread took part";
    EXPECT_EQ(shared.reads.size(), 600U);
    EXPECT_TRUE(std::ranges::all_of(shared.reads, [](const auto& entry) { return entry.second == 1; }))
        << "each process read once";
}

TEST_F(InventoryThreads, HowManyThreadsRead)
{
    const struct {
        std::int32_t processes;
        std::size_t threads;
        std::size_t viewsAllowed;
        std::size_t views; // views made, one per helping thread
    } rows[] = {
        {63, 4, 8, 0}, // too few processes to share
        {64, 4, 8, 3},
        {64, 2, 8, 1},
        {64, 64, 8, 3}, // never more than the limit
        {64, 1, 8, 0},
        {64, 0, 8, 0}, // nothing asked: this thread alone
        {200, 4, 1, 1}, // a view that cannot be made: fewer threads, nothing lost
        {200, 4, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message()
            << row.processes << " processes, " << row.threads << " threads, " << row.viewsAllowed << " views allowed");
        shared.listed.clear();
        shared.tasks.clear();
        addProcesses(row.processes);
        shared.viewsAllowed = row.viewsAllowed;
        shared.threadsToMeet = row.views + 1;
        const auto snapshot = read(row.threads);
        ASSERT_TRUE(snapshot);
        EXPECT_FALSE(snapshot->incomplete);
        EXPECT_EQ(snapshot->readings.size(), static_cast<std::size_t>(row.processes));
        EXPECT_EQ(shared.viewsMade, row.views);
        EXPECT_EQ(shared.readers.size(), row.views + 1);
    }
}

// A listing that tells how far it has got is read while it goes on, and gives what one thread reading
// the whole list gives; one that fails after telling leaves no thread behind.
TEST_F(InventoryThreads, TheThreadsBeginOnTheFirstProcessesWhileTheRestAreListed)
{
    addProcesses(300);
    shared.listed.insert(shared.listed.begin() + 150, {0, 200, -5, 200}); // pid 200 is listed at 100 too
    const auto alone = read(1);
    ASSERT_TRUE(alone);

    shared.tellsProgress = true;
    bool readWhileListing = false;
    shared.whileListing = [&](std::size_t count) {
        if (count == 200) {
            std::unique_lock lock(shared.mutex);
            readWhileListing =
                shared.met.wait_for(lock, std::chrono::seconds(5), [this] { return !shared.reads.empty(); });
        }
    };
    const auto told = read(2);
    ASSERT_TRUE(told);
    EXPECT_TRUE(readWhileListing) << "no process was read before the listing ended";
    EXPECT_EQ(*told, *alone);
    EXPECT_EQ(shared.viewsMade, 1U);

    shared.listResult = -1;
    EXPECT_FALSE(read(kMaximumInventoryThreads));
}

TEST_F(InventoryThreads, EveryThreadChecksTheBudgetBeforeEachProcess)
{
    addProcesses(400);
    shared.threadsToMeet = kMaximumInventoryThreads;
    // Exactly half a second still reads everything.
    shared.onList = [this] { clock.now = 50.5; };
    auto snapshot = read(kMaximumInventoryThreads);
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->incomplete);
    EXPECT_EQ(snapshot->readings.size(), 400U);

    // Past it before the first process: no thread reads one.
    clock.now = 50.0;
    shared.threadsToMeet = 1;
    shared.onList = [this] { clock.now = 50.500001; };
    snapshot = read(kMaximumInventoryThreads);
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->incomplete);
    EXPECT_TRUE(snapshot->readings.empty());
    EXPECT_TRUE(shared.reads.empty());

    // Past it after the 100th read: the reads stop, save those already past their check.
    clock.now = 50.0;
    shared.onList = [] {};
    shared.threadsToMeet = kMaximumInventoryThreads;
    std::atomic<int> begun = 0;
    shared.beforeRead = [&] {
        if (++begun == 100) {
            clock.now = 51.0;
        }
    };
    snapshot = read(kMaximumInventoryThreads);
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->incomplete);
    EXPECT_GE(shared.reads.size(), 100U);
    EXPECT_LT(shared.reads.size(), 100U + kMaximumInventoryThreads);
    EXPECT_EQ(snapshot->readings.size(), shared.reads.size()) << "what was read is kept";
    EXPECT_TRUE(std::ranges::is_sorted(snapshot->readings, {}, &ProcessInventoryReading::pid));
    for (const auto& reading : snapshot->readings) {
        EXPECT_EQ(shared.reads.count(reading.pid), 1U) << reading.pid;
    }
}

} // namespace
} // namespace quorvantile
