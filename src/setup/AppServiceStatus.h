#pragma once

#include "setup/SensorCompanionLoginControlling.h"

#include <cstdint>

namespace quorvantile::setup {

// The platform's login-item status number (0 not registered, 1 enabled, 2 requires approval,
// 3 not found) as the setup state's. A number this program does not know reads as not found: the
// item shows as off, and nothing is assumed about it.
[[nodiscard]] LoginItemStatus loginItemStatus(std::int64_t platformStatus);

} // namespace quorvantile::setup
