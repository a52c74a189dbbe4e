#pragma once

#include "common/Json.h"
#include "common/SnapshotHeader.h"
#include "sensors/AccessoryBatteryReading.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvantile {

// Keeps the "battery1" reply small: 32 readings of at most 128-byte names.
inline constexpr std::size_t kMaximumAccessoryReadings = 32;

// One walk over the accessories: readings ascending by registry id.
struct AccessoryBatterySnapshot {

    std::int64_t version = kSnapshotVersion;
    double uptime = 0;
    bool incomplete = false;
    std::vector<AccessoryBatteryReading> readings;

    // Version 1; `uptime` finite, not negative, not after `now` and at most 2.0 s before it; at most 32
    // readings, each valid, with pairwise distinct ids. Neither order nor `incomplete` is checked.
    [[nodiscard]] bool isValid(double now) const;

    bool operator==(const AccessoryBatterySnapshot&) const = default;

    QUORVANTILE_JSON_FIELDS(AccessoryBatterySnapshot, version, uptime, incomplete, readings)
};

} // namespace quorvantile
