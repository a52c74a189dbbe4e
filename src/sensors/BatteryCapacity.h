#pragma once

#include "common/Json.h"

#include <cstdint>

namespace quorvantile {

// Design and present full-charge capacity of the internal battery.
struct BatteryCapacity {
    std::uint64_t designMilliampHours = 0;
    std::uint64_t fullChargeMilliampHours = 0;

    // Design within 1,000 … 100,000 mAh; full charge not 0 and at most twice the design.
    [[nodiscard]] bool isPlausible() const;

    bool operator==(const BatteryCapacity&) const = default;

    QUORVANTILE_JSON_FIELDS(BatteryCapacity, designMilliampHours, fullChargeMilliampHours)
};

} // namespace quorvantile
