#pragma once

#include "common/Json.h"
#include "sensors/BatteryCapacity.h"
#include "sensors/SensorReading.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile {

// The reply to the "snapshot" request: the SMC keys read for this processor, the SMC service they
// came from, and the internal battery's capacities.
struct SensorSnapshot {
    std::int64_t version = 1;
    double uptime = 0; // system uptime in seconds when the readings were finished
    std::uint64_t registryID = 0;
    std::string model; // the processor brand string that chose the keys
    std::vector<SensorReading> readings;
    std::optional<BatteryCapacity> batteryCapacity;

    // The SMC keys a machine with this processor brand string is read for, in reading order.
    [[nodiscard]] static std::span<const std::string_view> keys(std::string_view model);

    // Whether the snapshot is well-formed and was finished at most 2.0 seconds before `now`
    // (a system uptime taken just before the call).
    [[nodiscard]] bool isValid(double now) const;

    // The snapshot in `data` if it is 1 to 16,384 bytes of JSON that decode and pass isValid(now).
    [[nodiscard]] static std::optional<SensorSnapshot> decode(std::string_view data, double now);

    bool operator==(const SensorSnapshot&) const = default;

    QUORVANTILE_JSON_FIELDS(SensorSnapshot, version, uptime, registryID, model, readings, batteryCapacity)
};

} // namespace quorvantile
