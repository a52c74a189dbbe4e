#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "common/Result.h"
#include "sensors/AccessoryBatterySnapshot.h"
#include "sensors/Registry.h"

#include <cstddef>
#include <optional>
#include <string_view>

// Reads the charge of connected accessories from the registry, once per call and without state.
namespace quorvantile::AccessoryBatteryHardware {

inline constexpr std::string_view kServiceClassName = "AppleDeviceManagementHIDEventService";
// Bounds the walk whatever the registry holds; a 129th service marks the snapshot incomplete.
inline constexpr std::size_t kMaximumServicesExamined = 128;

// Absent when the services cannot be listed, an entry id is unreadable, 0 or repeated, the set of
// services changed during the walk, or the finished snapshot is not valid.
[[nodiscard]] Result<AccessoryBatterySnapshot> snapshot(Registry& registry, const Clock& clock);

// The same over the system registry below `roots` and the system uptime clock.
[[nodiscard]] Result<AccessoryBatterySnapshot> snapshot(const SystemRoots& roots = {});

} // namespace quorvantile::AccessoryBatteryHardware
