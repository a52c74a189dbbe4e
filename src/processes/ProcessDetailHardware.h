#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "processes/ProcessDetailRequest.h"
#include "processes/ProcessDetailSnapshot.h"
#include "processes/ProcessTable.h"

#include <span>

// Reads the details of requested processes, each only if it still has the requested identity.
namespace quorvantile::ProcessDetailHardware {

// One reading per request, in order. The requests are taken as given (decode checks their form and
// number). Never fails: a process that cannot be verified gets an empty reading.
[[nodiscard]] ProcessDetailSnapshot snapshot(
    std::span<const ProcessDetailRequest> requests, ProcessTable& table, const Clock& clock);

// The same over the system's process table below `roots` and the system clock.
[[nodiscard]] ProcessDetailSnapshot snapshot(
    std::span<const ProcessDetailRequest> requests, const SystemRoots& roots = {});

} // namespace quorvantile::ProcessDetailHardware
