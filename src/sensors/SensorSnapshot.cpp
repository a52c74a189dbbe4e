#include "sensors/SensorSnapshot.h"
#include "common/JsonDecode.h"

#include "common/SnapshotHeader.h"
#include "common/Text.h"
#include "sensors/SensorLimits.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>

namespace quorvantile {
namespace {

constexpr std::array<std::string_view, 6> kAppleM1Keys = {"F0Ac", "F1Ac", "TB1T", "Tp01", "Tp09", "Tg05"};
constexpr std::array<std::string_view, 3> kDefaultKeys = {"F0Ac", "F1Ac", "TB1T"};

bool isPlausibleReading(const SensorReading& reading, std::span<const std::string_view> allowed)
{
    if (std::find(allowed.begin(), allowed.end(), reading.key) == allowed.end()) {
        return false;
    }
    if (reading.unit != unitForKey(reading.key)) {
        return false;
    }
    if (!reading.value) {
        return true;
    }
    const double value = *reading.value;
    if (!std::isfinite(value)) {
        return false;
    }
    if (reading.unit == SensorReading::Unit::rpm) {
        return value >= kMinimumFanRpm && value <= kMaximumFanRpm;
    }
    return value >= kMinimumTemperatureCelsius && value <= kMaximumTemperatureCelsius;
}

} // namespace

std::span<const std::string_view> SensorSnapshot::keys(std::string_view model)
{
    // Plain equality and a plain prefix: "Apple M1 Max" takes the longer list, "Apple M1X" does not.
    if (model == "Apple M1" || model.starts_with("Apple M1 ")) {
        return kAppleM1Keys;
    }
    return kDefaultKeys;
}

bool SensorSnapshot::isValid(double now) const
{
    if (!isValidSnapshotHeader(version, uptime, now) || registryID == 0) {
        return false;
    }
    if (!text::isValidName(model, kMaximumModelBytes)) {
        return false;
    }
    if (readings.size() > kMaximumSnapshotReadings) {
        return false;
    }
    std::set<std::string_view> distinct;
    for (const SensorReading& reading : readings) {
        distinct.insert(reading.key);
    }
    if (distinct.size() != readings.size()) {
        return false;
    }
    if (batteryCapacity && !batteryCapacity->isPlausible()) {
        return false;
    }
    const auto allowed = keys(model);
    return std::all_of(readings.begin(), readings.end(),
        [&](const SensorReading& reading) { return isPlausibleReading(reading, allowed); });
}

std::optional<SensorSnapshot> SensorSnapshot::decode(std::string_view data, double now)
{
    if (data.empty() || data.size() > kMaximumSnapshotBytes) {
        return std::nullopt;
    }
    auto snapshot = json::decode<SensorSnapshot>(data);
    if (!snapshot || !snapshot->isValid(now)) {
        return std::nullopt;
    }
    return snapshot;
}

} // namespace quorvantile
