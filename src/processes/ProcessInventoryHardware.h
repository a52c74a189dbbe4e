#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "common/Result.h"
#include "processes/ProcessInventorySnapshot.h"
#include "processes/ProcessTable.h"

#include <cstdint>
#include <optional>

// Reads the inventory of the current user's processes.
namespace quorvantile::ProcessInventoryHardware {

// Lists the processes of the effective user once and reads each, within the bounds of
// ProcessLimits.h; `preferredPID`'s reading survives the cut to the reading limit whatever its size.
// Absent when the list cannot be read or the finished snapshot is not valid.
[[nodiscard]] Result<ProcessInventorySnapshot> snapshot(
    std::int32_t preferredPID, ProcessTable& table, const Clock& clock);

// The same over the system's process table below `roots` and the system clock.
[[nodiscard]] Result<ProcessInventorySnapshot> snapshot(std::int32_t preferredPID, const SystemRoots& roots = {});

} // namespace quorvantile::ProcessInventoryHardware
