#include "processes/ProcessInventoryHardware.h"

#include "common/Text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace quorvantile::ProcessInventoryHardware {
namespace {

constexpr int kProcessIdBytes = static_cast<int>(sizeof(std::int32_t));
constexpr int kProcessIdBufferBytes = static_cast<int>(kProcessIdSlots) * kProcessIdBytes;

// The bytes of a fixed field up to its first zero byte (all of them when there is none).
template<std::size_t Size> std::string_view fieldText(const std::array<char, Size>& field)
{
    const auto* end = static_cast<const char*>(std::memchr(field.data(), 0, Size));
    return {field.data(), end != nullptr ? static_cast<std::size_t>(end - field.data()) : Size};
}

// One listed process as one of the reading threads left it.
struct TaskRead {
    ProcessTaskAllInfo info {};
    int result = 0;
    bool attempted = false; // false when the budget ran out before the process was taken
};

// What the reading threads of one call share; made, and outlived, by that call.
struct ReadingRound {
    std::span<const std::int32_t> pids;
    std::span<TaskRead> reads; // reads[i] is pids[i]'s, written only by the thread that took i
    const Clock& clock;
    double start = 0;
    std::atomic<std::size_t> next = 0;
    std::atomic<bool> budgetSpent = false;
};

// Takes the next process nobody has taken until none is left or the budget is spent.
void readShare(ReadingRound& round, ProcessTable& table)
{
    for (;;) {
        const std::size_t index = round.next.fetch_add(1, std::memory_order_relaxed);
        if (index >= round.pids.size() || round.budgetSpent.load(std::memory_order_relaxed)) {
            return;
        }
        if (round.clock.uptime() - round.start > kInventoryBudgetSeconds) {
            round.budgetSpent.store(true, std::memory_order_relaxed);
            return;
        }
        TaskRead& read = round.reads[index];
        read.result = table.taskAllInfo(round.pids[index], read.info);
        read.attempted = true;
    }
}

// Threads joined when it goes, whichever way the block that holds it is left (std::jthread is not in
// every standard library this builds with).
class JoinedThreads {
public:
    explicit JoinedThreads(std::size_t capacity) { threads_.reserve(capacity); }
    JoinedThreads(const JoinedThreads&) = delete;
    JoinedThreads(JoinedThreads&&) = delete;
    JoinedThreads& operator=(const JoinedThreads&) = delete;
    JoinedThreads& operator=(JoinedThreads&&) = delete;
    ~JoinedThreads()
    {
        for (auto& thread : threads_) {
            thread.join();
        }
    }
    // Throws std::system_error when no thread can be made; the threads already made go on.
    template<typename... Arguments> void start(Arguments&&... arguments)
    {
        threads_.emplace_back(std::forward<Arguments>(arguments)...);
    }

private:
    std::vector<std::thread> threads_;
};

// Reads the listed processes on this thread and up to `threads - 1` more; whether the budget ran out.
bool readAll(ReadingRound& round, ProcessTable& table, std::size_t threads)
{
    const std::size_t helpers = round.pids.size() < kMinimumProcessesForThreads
        ? 0
        : std::min(std::max<std::size_t>(threads, 1), kMaximumInventoryThreads) - 1;
    std::vector<std::unique_ptr<ProcessTable>> views;
    views.reserve(helpers);
    {
        JoinedThreads helping(helpers); // joined at the end of this block, before the views go
        for (std::size_t index = 0; index < helpers; ++index) {
            auto view = table.viewForAnotherThread();
            if (!view) {
                break;
            }
            views.push_back(std::move(view));
            try {
                helping.start(readShare, std::ref(round), std::ref(*views.back()));
            } catch (const std::system_error&) {
                break; // no thread to be had: the threads running, this one among them, read it all
            }
        }
        readShare(round, table);
    }
    return round.budgetSpent.load(std::memory_order_relaxed);
}

// The reading of one process as read, or nothing when it cannot be read or does not qualify.
std::optional<ProcessInventoryReading> readingOf(std::int32_t pid, const TaskRead& read, std::uint32_t euid)
{
    if (read.result != kTaskAllInfoBytes) {
        return std::nullopt;
    }
    const ProcessBsdInfo& bsd = read.info.pbsd;
    if (bsd.pbi_pid != static_cast<std::uint32_t>(pid) || bsd.pbi_uid != euid || bsd.pbi_start_tvsec == 0 ||
        bsd.pbi_start_tvusec >= 1'000'000) {
        return std::nullopt;
    }
    std::string_view name = fieldText(bsd.pbi_name);
    if (name.empty()) {
        name = fieldText(bsd.pbi_comm);
    }
    if (!text::isValidUtf8(name)) {
        return std::nullopt;
    }
    ProcessInventoryReading reading {
        .pid = pid,
        .name = std::string(name),
        .startSeconds = bsd.pbi_start_tvsec,
        .startMicroseconds = bsd.pbi_start_tvusec,
        .userTicks = read.info.ptinfo.pti_total_user,
        .systemTicks = read.info.ptinfo.pti_total_system,
        .residentBytes = read.info.ptinfo.pti_resident_size,
    };
    if (!reading.isValid()) {
        return std::nullopt;
    }
    return reading;
}

// Keeps the preferred process and then the largest by resident size (ties to the lower pid), and
// returns the kept readings ascending by pid again.
void cutToLimit(std::vector<ProcessInventoryReading>& readings, std::int32_t preferredPID)
{
    const auto ranksBefore = [preferredPID](const ProcessInventoryReading& a, const ProcessInventoryReading& b) {
        if ((a.pid == preferredPID) != (b.pid == preferredPID)) {
            return a.pid == preferredPID;
        }
        if (a.residentBytes != b.residentBytes) {
            return a.residentBytes > b.residentBytes;
        }
        return a.pid < b.pid;
    };
    // Pids are distinct, so the ranking is a total order and a partial sort gives the same first
    // entries as the full stable sort.
    const auto kept = readings.begin() + static_cast<std::ptrdiff_t>(kMaximumInventoryReadings);
    std::partial_sort(readings.begin(), kept, readings.end(), ranksBefore);
    readings.erase(kept, readings.end());
    std::sort(readings.begin(), readings.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
}

} // namespace

Result<ProcessInventorySnapshot> snapshot(
    std::int32_t preferredPID, ProcessTable& table, const Clock& clock, std::size_t threads)
{
    const double start = clock.uptime();
    const std::uint32_t euid = table.effectiveUid();

    std::array<std::int32_t, kProcessIdSlots> buffer {};
    const int listedBytes = table.listPids(euid, buffer);
    if (listedBytes < 1 || listedBytes > kProcessIdBufferBytes || listedBytes % kProcessIdBytes != 0) {
        return Failure {"the user's processes cannot be listed"};
    }
    // A full buffer may have left ids out; it is not enlarged and the call is not repeated.
    bool incomplete = listedBytes == kProcessIdBufferBytes;

    std::vector<std::int32_t> pids(buffer.begin(), buffer.begin() + listedBytes / kProcessIdBytes);
    std::erase_if(pids, [](std::int32_t pid) { return pid < 1; });
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());

    std::vector<TaskRead> reads(pids.size());
    ReadingRound round {.pids = pids, .reads = reads, .clock = clock, .start = start};
    if (readAll(round, table, threads)) {
        incomplete = true;
    }
    std::vector<ProcessInventoryReading> readings;
    readings.reserve(pids.size());
    for (std::size_t index = 0; index < pids.size(); ++index) {
        if (!reads[index].attempted) {
            continue; // left when the budget ran out, which made the snapshot incomplete
        }
        if (auto reading = readingOf(pids[index], reads[index], euid)) {
            readings.push_back(std::move(*reading));
        } else {
            incomplete = true;
        }
    }

    if (readings.size() > kMaximumInventoryReadings) {
        incomplete = true;
        cutToLimit(readings, preferredPID);
    }

    ProcessInventorySnapshot result {
        .version = 1,
        .uptime = clock.uptime(),
        .uid = euid,
        .incomplete = incomplete,
        .readings = std::move(readings),
    };
    if (!result.isValid(clock.uptime(), table.effectiveUid())) {
        return Failure {"the inventory failed its own check (stale after 2.0 s, or the effective user changed)"};
    }
    return result;
}

Result<ProcessInventorySnapshot> snapshot(std::int32_t preferredPID, const SystemRoots& roots)
{
    const auto table = systemProcessTable(roots.proc);
    return snapshot(preferredPID, *table, systemClock(), std::thread::hardware_concurrency());
}

SystemInventory::SystemInventory(const SystemRoots& roots) : tables_(systemProcessTables(roots.proc)) { }

Result<ProcessInventorySnapshot> SystemInventory::snapshot(std::int32_t preferredPID)
{
    const auto table = tables_->fresh();
    auto result =
        ProcessInventoryHardware::snapshot(preferredPID, *table, systemClock(), std::thread::hardware_concurrency());
    lastTaken_ = systemClock().uptime();
    return result;
}

double SystemInventory::rest(double now)
{
    if (!lastTaken_) {
        return std::numeric_limits<double>::infinity();
    }
    if (now - *lastTaken_ < kInventoryRestSeconds) {
        return *lastTaken_ + kInventoryRestSeconds;
    }
    tables_->rest();
    lastTaken_.reset();
    return std::numeric_limits<double>::infinity();
}

} // namespace quorvantile::ProcessInventoryHardware
