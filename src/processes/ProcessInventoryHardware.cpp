#include "processes/ProcessInventoryHardware.h"

#include "common/Text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
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

// One process as a reading, or nothing when it cannot be read or does not qualify.
std::optional<ProcessInventoryReading> readProcess(ProcessTable& table, std::int32_t pid, std::uint32_t euid)
{
    ProcessTaskAllInfo info {};
    if (table.taskAllInfo(pid, info) != kTaskAllInfoBytes) {
        return std::nullopt;
    }
    const ProcessBsdInfo& bsd = info.pbsd;
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
        .userTicks = info.ptinfo.pti_total_user,
        .systemTicks = info.ptinfo.pti_total_system,
        .residentBytes = info.ptinfo.pti_resident_size,
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

Result<ProcessInventorySnapshot> snapshot(std::int32_t preferredPID, ProcessTable& table, const Clock& clock)
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

    std::vector<ProcessInventoryReading> readings;
    readings.reserve(pids.size());
    for (const std::int32_t pid : pids) {
        if (clock.uptime() - start > kInventoryBudgetSeconds) {
            incomplete = true;
            break;
        }
        if (auto reading = readProcess(table, pid, euid)) {
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
    return snapshot(preferredPID, *table, systemClock());
}

} // namespace quorvantile::ProcessInventoryHardware
