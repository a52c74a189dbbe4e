#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "common/Result.h"
#include "sensors/AccessoryBatterySnapshot.h"
#include "sensors/Registry.h"

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>

// Reads the charge of connected accessories from the registry, once per call and without state.
namespace quorvantile::AccessoryBatteryHardware {

inline constexpr std::string_view kServiceClassName = "AppleDeviceManagementHIDEventService";
// Bounds the walk whatever the registry holds; a 129th service marks the snapshot incomplete.
inline constexpr std::size_t kMaximumServicesExamined = 128;

// Absent when the services cannot be listed, an entry id is unreadable, 0 or repeated, the set of
// services changed during the walk, or the finished snapshot is not valid. The walk's notes (a source
// it could not read in full) travel with the snapshot, and one that may have missed accessories
// marks it incomplete.
[[nodiscard]] Result<AccessoryBatterySnapshot> snapshot(Registry& registry, const Clock& clock);

// The same over the system registry of `roots` and the system uptime clock. Sources that must be
// asked (the system bus) give up at `deadline`, in uptime seconds.
[[nodiscard]] Result<AccessoryBatterySnapshot> snapshot(
    const SystemRoots& roots = {}, double deadline = std::numeric_limits<double>::infinity());

} // namespace quorvantile::AccessoryBatteryHardware
