#include "sensors/AccessoryBatterySnapshot.h"

#include "common/SnapshotHeader.h"

#include <algorithm>
#include <iterator>

namespace quorvantile {

bool AccessoryBatterySnapshot::isValid(double now) const
{
    if (!isValidSnapshotHeader(version, uptime, now)) {
        return false;
    }
    if (readings.size() > kMaximumAccessoryReadings) {
        return false;
    }
    if (!std::all_of(readings.begin(), readings.end(), [](const auto& reading) { return reading.isValid(); })) {
        return false;
    }
    // At most 32 ids: sorting a copy is cheaper than any set.
    std::vector<std::uint64_t> ids;
    ids.reserve(readings.size());
    std::transform(readings.begin(), readings.end(), std::back_inserter(ids),
        [](const auto& reading) { return reading.registryID; });
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

} // namespace quorvantile
