#pragma once

#include "common/Json.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quorvantile {

// One SMC key of a snapshot: a fan speed or a temperature.
struct SensorReading {
    enum class Unit { celsius, rpm };

    std::string key;
    Unit unit = Unit::celsius;
    std::optional<double> value; // absent when the key could not be read or was implausible

    bool operator==(const SensorReading&) const = default;

    QUORVANTILE_JSON_FIELDS(SensorReading, key, unit, value)
};

// Keys beginning with "F" are fan speeds; every other key is a temperature.
[[nodiscard]] SensorReading::Unit unitForKey(std::string_view key);

// "celsius" and "rpm".
[[nodiscard]] std::span<const std::pair<SensorReading::Unit, std::string_view>> jsonTexts(SensorReading::Unit);

} // namespace quorvantile
