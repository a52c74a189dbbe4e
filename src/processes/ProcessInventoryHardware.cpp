#include "processes/ProcessInventoryHardware.h"

#include "common/Text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
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
    std::size_t index = 0; // in the listing
    ProcessTaskAllInfo info {};
    int result = 0;
};

// The ids listed so far, as the listing thread publishes them to the reading threads. A listing that
// tells its progress is read while it goes on.
class PublishedIds {
public:
    explicit PublishedIds(std::span<const std::int32_t> ids) : ids_(ids) { }

    void publish(std::size_t count) { store(static_cast<std::uint32_t>(std::min(count, ids_.size()))); }
    void end(std::size_t count) { store(static_cast<std::uint32_t>(std::min(count, ids_.size())) | kEnded); }

    // The id at `index` once it is listed; absent when the listing ended without it.
    [[nodiscard]] std::optional<std::int32_t> await(std::size_t index) const
    {
        for (;;) {
            const std::uint32_t state = state_.load(std::memory_order_acquire);
            if (index < (state & ~kEnded)) {
                return ids_[index];
            }
            if ((state & kEnded) != 0) {
                return std::nullopt;
            }
            state_.wait(state, std::memory_order_acquire);
        }
    }

private:
    static constexpr std::uint32_t kEnded = 1U << 31; // ORed into the count once no more will come

    void store(std::uint32_t state)
    {
        state_.store(state, std::memory_order_release);
        state_.notify_all();
    }

    std::span<const std::int32_t> ids_;
    std::atomic<std::uint32_t> state_ = 0; // 4 bytes: waited on with a futex of its own
};

// What the reading threads of one call share; made, and outlived, by that call.
struct ReadingRound {
    PublishedIds& ids;
    const Clock& clock;
    double start = 0;
    std::atomic<std::size_t> next = 0;
    std::atomic<bool> budgetSpent = false;
};

// Takes the next listed process nobody has taken until the listing has ended and none is left, or
// the budget is spent.
void readShare(ReadingRound& round, ProcessTable& table, std::vector<TaskRead>& reads)
{
    for (;;) {
        const std::size_t index = round.next.fetch_add(1, std::memory_order_relaxed);
        const std::optional<std::int32_t> pid = round.ids.await(index);
        if (!pid || round.budgetSpent.load(std::memory_order_relaxed)) {
            return;
        }
        if (round.clock.uptime() - round.start > kInventoryBudgetSeconds) {
            round.budgetSpent.store(true, std::memory_order_relaxed);
            return;
        }
        if (*pid < 1) {
            continue; // not a process: left out
        }
        TaskRead& read = reads.emplace_back();
        read.index = index;
        read.result = table.taskAllInfo(*pid, read.info);
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
    ~JoinedThreads() { join(); }
    // Throws std::system_error when no thread can be made; the threads already made go on.
    template<typename... Arguments> void start(Arguments&&... arguments)
    {
        threads_.emplace_back(std::forward<Arguments>(arguments)...);
    }
    void join()
    {
        for (auto& thread : threads_) {
            thread.join();
        }
        threads_.clear();
    }

private:
    std::vector<std::thread> threads_;
};

// The threads that read one inventory's processes. The listing tells it how far it has got; once
// enough processes are listed for threads to pay, the helping threads begin reading them while the
// listing goes on, and the calling thread joins them when it has ended.
class InventoryReaders final : public ListingProgress {
public:
    InventoryReaders(ReadingRound& round, ProcessTable& table, std::size_t threads)
        : round_(round), table_(table),
          helpers_(std::min(std::max<std::size_t>(threads, 1), kMaximumInventoryThreads) - 1), helping_(helpers_)
    {
        views_.reserve(helpers_);
    }
    InventoryReaders(const InventoryReaders&) = delete;
    InventoryReaders& operator=(const InventoryReaders&) = delete;
    ~InventoryReaders()
    {
        round_.ids.end(0); // a listing that failed: the helpers stop (nothing of it is used)
        helping_.join(); // before the views go
    }

    void listed(std::size_t count) override
    {
        told_ = true;
        round_.ids.publish(count);
        startHelpers(count);
    }
    // Whether the listing told how far it got (and so the threads may have begun).
    [[nodiscard]] bool told() const { return told_; }

    // Ends the listing at `count` ids and reads on this thread what the others have not taken, until
    // all are done; whether the budget ran out.
    bool finish(std::size_t count)
    {
        round_.ids.end(count);
        startHelpers(count);
        readShare(round_, table_, shares_[0]);
        helping_.join();
        return round_.budgetSpent.load(std::memory_order_relaxed);
    }
    // Each thread's reads, once finished.
    [[nodiscard]] std::span<const std::vector<TaskRead>> shares() const { return shares_; }

private:
    void startHelpers(std::size_t listed)
    {
        if (started_ || listed < kMinimumProcessesForThreads) {
            return;
        }
        started_ = true;
        for (std::size_t index = 1; index <= helpers_; ++index) {
            auto view = table_.viewForAnotherThread();
            if (!view) {
                return;
            }
            views_.push_back(std::move(view));
            try {
                helping_.start(readShare, std::ref(round_), std::ref(*views_.back()), std::ref(shares_[index]));
            } catch (const std::system_error&) {
                return; // no thread to be had: the threads running, this one among them, read it all
            }
        }
    }

    ReadingRound& round_;
    ProcessTable& table_;
    std::size_t helpers_;
    bool told_ = false;
    bool started_ = false;
    std::vector<std::unique_ptr<ProcessTable>> views_;
    std::array<std::vector<TaskRead>, kMaximumInventoryThreads> shares_; // each thread's reads, [0] this one's
    JoinedThreads helping_; // declared last: joined before the views and shares go
};

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

// Keeps the preferred process and then the largest by resident size (ties to the lower pid); the
// readings stay ascending by pid. The ranking looks at small keys only, and the readings move once.
void cutToLimit(std::vector<ProcessInventoryReading>& readings, std::int32_t preferredPID)
{
    struct Rank {
        bool preferred;
        std::uint64_t residentBytes;
        std::int32_t pid;
        std::size_t index;
    };
    std::vector<Rank> ranks;
    ranks.reserve(readings.size());
    for (std::size_t index = 0; index < readings.size(); ++index) {
        const ProcessInventoryReading& reading = readings[index];
        ranks.push_back({reading.pid == preferredPID, reading.residentBytes, reading.pid, index});
    }
    // Pids are distinct, so the ranking is a total order: the first entries are those of the full
    // stable sort.
    const auto cut = ranks.begin() + static_cast<std::ptrdiff_t>(kMaximumInventoryReadings);
    std::nth_element(ranks.begin(), cut, ranks.end(), [](const Rank& a, const Rank& b) {
        if (a.preferred != b.preferred) {
            return a.preferred;
        }
        if (a.residentBytes != b.residentBytes) {
            return a.residentBytes > b.residentBytes;
        }
        return a.pid < b.pid;
    });
    std::vector<bool> kept(readings.size());
    std::for_each(ranks.begin(), cut, [&kept](const Rank& rank) { kept[rank.index] = true; });
    std::size_t next = 0; // where the next kept reading goes
    for (std::size_t index = 0; index < readings.size(); ++index) {
        if (!kept[index]) {
            continue;
        }
        if (next != index) {
            readings[next] = std::move(readings[index]);
        }
        ++next;
    }
    readings.resize(next);
}

} // namespace

Result<ProcessInventorySnapshot> snapshot(
    std::int32_t preferredPID, ProcessTable& table, const Clock& clock, std::size_t threads)
{
    const double start = clock.uptime();
    const std::uint32_t euid = table.effectiveUid();

    std::array<std::int32_t, kProcessIdSlots> buffer {};
    PublishedIds ids(buffer);
    ReadingRound round {.ids = ids, .clock = clock, .start = start};
    InventoryReaders readers(round, table, threads);
    const int listedBytes = table.listPidsTelling(euid, buffer, readers);
    if (listedBytes < 1 || listedBytes > kProcessIdBufferBytes || listedBytes % kProcessIdBytes != 0) {
        return Failure {"the user's processes cannot be listed"};
    }
    // A full buffer may have left ids out; it is not enlarged and the call is not repeated.
    bool incomplete = listedBytes == kProcessIdBufferBytes;

    auto listed = static_cast<std::size_t>(listedBytes / kProcessIdBytes);
    const auto listedEnd = [&buffer](std::size_t count) { return buffer.begin() + static_cast<std::ptrdiff_t>(count); };
    if (!readers.told()) {
        // Nothing is read yet: each process is read once.
        std::sort(buffer.begin(), listedEnd(listed));
        listed = static_cast<std::size_t>(std::unique(buffer.begin(), listedEnd(listed)) - buffer.begin());
    }
    if (readers.finish(listed)) {
        incomplete = true;
    }
    // In pid order, a pid listed twice once, and nothing the listing took back.
    std::vector<const TaskRead*> order;
    order.reserve(listed);
    for (const auto& share : readers.shares()) {
        for (const TaskRead& read : share) {
            if (read.index < listed) {
                order.push_back(&read);
            }
        }
    }
    std::sort(order.begin(), order.end(), [&buffer](const TaskRead* a, const TaskRead* b) {
        return std::pair(buffer[a->index], a->index) < std::pair(buffer[b->index], b->index);
    });
    std::vector<ProcessInventoryReading> readings;
    readings.reserve(order.size());
    for (std::size_t index = 0; index < order.size(); ++index) {
        const std::int32_t pid = buffer[order[index]->index];
        if (index > 0 && buffer[order[index - 1]->index] == pid) {
            continue;
        }
        if (auto reading = readingOf(pid, *order[index], euid)) {
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
