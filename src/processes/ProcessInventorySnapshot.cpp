#include "processes/ProcessInventorySnapshot.h"

#include "common/SnapshotHeader.h"
#include "common/Text.h"
#include "processes/ProcessLimits.h"

#include <unistd.h>

#include <algorithm>

namespace quorvantile {

bool ProcessInventoryReading::isValid() const
{
    return pid >= 1 && text::isValidName(name) && startSeconds != 0 && startMicroseconds < 1'000'000;
}

bool ProcessInventorySnapshot::isValid(double now) const
{
    return isValid(now, static_cast<std::uint32_t>(::geteuid()));
}

bool ProcessInventorySnapshot::isValid(double now, std::uint32_t effectiveUid) const
{
    if (!isValidSnapshotHeader(version, uptime, now) || uid != effectiveUid ||
        readings.size() > kMaximumInventoryReadings) {
        return false;
    }
    if (!std::all_of(readings.begin(), readings.end(), [](const auto& reading) { return reading.isValid(); })) {
        return false;
    }
    std::vector<std::int32_t> pids;
    pids.reserve(readings.size());
    for (const auto& reading : readings) {
        pids.push_back(reading.pid);
    }
    std::sort(pids.begin(), pids.end());
    return std::adjacent_find(pids.begin(), pids.end()) == pids.end();
}

} // namespace quorvantile
