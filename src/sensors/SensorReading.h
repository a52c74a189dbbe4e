#pragma once

#include "common/Json.h"

#include <optional>
#include <string>
#include <string_view>

namespace quorvantile {

// One SMC key of a snapshot: a fan speed or a temperature.
struct SensorReading {
    enum class Unit { celsius, rpm };

    std::string key;
    Unit unit = Unit::celsius;
    std::optional<double> value; // absent when the key could not be read or was implausible

    bool operator==(const SensorReading&) const = default;
};

// Keys beginning with "F" are fan speeds; every other key is a temperature.
[[nodiscard]] SensorReading::Unit unitForKey(std::string_view key);

json::Json encodeValue(SensorReading::Unit unit);
bool decodeValue(const json::Json& value, SensorReading::Unit& unit);

void encodeFields(json::ObjectWriter& writer, const SensorReading& reading);
bool decodeValue(const json::Json& value, SensorReading& reading);

} // namespace quorvantile
