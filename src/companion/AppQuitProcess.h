#pragma once

#include "companion/AppQuitOperatingSystem.h"
#include "processes/ProcessTable.h"

#include <cstdint>
#include <optional>

namespace quorvantile {

// The identity of the live process `pid` from the BSD record of `table`: absent when the pid is
// below 1, the record cannot be read, names another process, or the process is a zombie.
[[nodiscard]] std::optional<AppQuitProcessIdentity> liveProcessIdentity(ProcessTable& table, std::int32_t pid);

} // namespace quorvantile
