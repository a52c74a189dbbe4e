#pragma once

#include <cstddef>
#include <cstdint>

// Limits of the sensor snapshot, each enforced next to the code that reads or checks it.
namespace quorvantile {

// Largest snapshot document the guarded decoder reads.
inline constexpr std::size_t kMaximumSnapshotBytes = 16'384;
// Readings in one snapshot: the longest key list.
inline constexpr std::size_t kMaximumSnapshotReadings = 6;
// Longest processor brand string, without its terminating zero.
inline constexpr std::size_t kMaximumModelBytes = 128;

// Plausible ranges of the readings (inclusive).
inline constexpr double kMinimumFanRpm = 0.0;
inline constexpr double kMaximumFanRpm = 20'000.0;
inline constexpr double kMinimumTemperatureCelsius = -40.0;
inline constexpr double kMaximumTemperatureCelsius = 150.0;
inline constexpr double kMaximumFanCount = 8.0;

// Plausible internal-battery capacities.
inline constexpr std::uint64_t kMinimumDesignMilliampHours = 1'000;
inline constexpr std::uint64_t kMaximumDesignMilliampHours = 100'000;

// Battery services walked before the walk gives up.
inline constexpr std::size_t kMaximumBatteryServicesExamined = 16;

} // namespace quorvantile
