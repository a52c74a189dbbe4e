#pragma once

#include "common/Clock.h"
#include "processes/ProcessTable.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile::testing {

// A clock the test sets by hand.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double now = 100.0) : now_(now) { }
    [[nodiscard]] double uptime() const override { return now_; }
    void set(double now) { now_ = now; }
    void advance(double seconds) { now_ += seconds; }

private:
    double now_;
};

template<std::size_t Size> void setName(std::array<char, Size>& field, std::string_view name)
{
    field.fill('\0');
    std::copy_n(name.begin(), std::min(name.size(), Size), field.begin());
}

// A process of the fake table, valid for its uid unless the test changes it.
inline ProcessTaskAllInfo taskOf(std::int32_t pid, std::uint32_t uid, std::string_view name,
    std::uint64_t residentBytes = 4096, std::uint64_t startSeconds = 1'700'000'000, std::uint64_t startMicroseconds = 0)
{
    ProcessTaskAllInfo info {};
    info.pbsd.pbi_status = kProcessStatusSleeping;
    info.pbsd.pbi_pid = static_cast<std::uint32_t>(pid);
    info.pbsd.pbi_uid = uid;
    setName(info.pbsd.pbi_comm, name.substr(0, std::min<std::size_t>(name.size(), kCommBytes - 1)));
    setName(info.pbsd.pbi_name, name);
    info.pbsd.pbi_start_tvsec = startSeconds;
    info.pbsd.pbi_start_tvusec = startMicroseconds;
    info.ptinfo.pti_resident_size = residentBytes;
    info.ptinfo.pti_total_user = 1000 + static_cast<std::uint64_t>(pid);
    info.ptinfo.pti_total_system = 2000 + static_cast<std::uint64_t>(pid);
    info.ptinfo.pti_threadnum = 3;
    return info;
}

// A process table whose answers the test sets field by field. It records every call in `calls`
// ("list", "bsd 12", "task 12", "usage 12") so that tests can check what was asked and in which order.
class FakeProcessTable final : public ProcessTable {
public:
    struct Usage {
        int result = 0;
        ProcessUsageInfo info;
    };

    std::uint32_t euid = 501;
    // Further answers of effectiveUid(), consumed one per call before `euid` is used again (mutable:
    // the port's call is const, as geteuid() shows no state).
    mutable std::deque<std::uint32_t> nextEffectiveUids;

    // listPids writes `listed` (at most the buffer's slots) and returns its byte count, or
    // `listResult` when set.
    std::vector<std::int32_t> listed;
    std::optional<int> listResult;

    // Answers of taskAllInfo and bsdInfo (the BSD part); a missing pid fails. `taskResult` overrides
    // the returned size for a pid.
    std::map<std::int32_t, ProcessTaskAllInfo> tasks;
    std::map<std::int32_t, int> taskResult;
    std::map<std::int32_t, int> bsdResult;
    // Answers of usageInfo, one per call in order; when they run out a pid fails.
    std::map<std::int32_t, std::deque<Usage>> usages;

    // Called before each taskAllInfo answer (to move a clock, to change a process).
    std::function<void(std::int32_t)> beforeTask;

    std::vector<std::string> calls;

    int listPids(std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer) override
    {
        calls.push_back("list " + std::to_string(uid));
        const std::size_t count = std::min(listed.size(), buffer.size());
        std::copy_n(listed.begin(), count, buffer.begin());
        return listResult.value_or(static_cast<int>(count * sizeof(std::int32_t)));
    }

    int bsdInfo(std::int32_t pid, ProcessBsdInfo& info) override
    {
        calls.push_back("bsd " + std::to_string(pid));
        const auto found = tasks.find(pid);
        if (found == tasks.end()) {
            return 0;
        }
        info = found->second.pbsd;
        const auto result = bsdResult.find(pid);
        return result != bsdResult.end() ? result->second : kBsdInfoBytes;
    }

    int taskAllInfo(std::int32_t pid, ProcessTaskAllInfo& info) override
    {
        calls.push_back("task " + std::to_string(pid));
        if (beforeTask) {
            beforeTask(pid);
        }
        const auto found = tasks.find(pid);
        if (found == tasks.end()) {
            return 0;
        }
        info = found->second;
        const auto result = taskResult.find(pid);
        return result != taskResult.end() ? result->second : kTaskAllInfoBytes;
    }

    int usageInfo(std::int32_t pid, ProcessUsageInfo& info) override
    {
        calls.push_back("usage " + std::to_string(pid));
        auto& queue = usages[pid];
        if (queue.empty()) {
            return -1;
        }
        const Usage usage = queue.front();
        queue.pop_front();
        info = usage.info;
        return usage.result;
    }

    [[nodiscard]] std::uint32_t effectiveUid() const override
    {
        if (nextEffectiveUids.empty()) {
            return euid;
        }
        const std::uint32_t uid = nextEffectiveUids.front();
        nextEffectiveUids.pop_front();
        return uid;
    }
};

} // namespace quorvantile::testing
