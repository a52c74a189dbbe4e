#pragma once

#include "companion/AppQuitOperatingSystem.h"

#include <cstdint>
#include <memory>

namespace quorvantile {

// The platform's running application whose process is `processIdentifier`; null when there is none.
[[nodiscard]] std::unique_ptr<AppQuitApplication> runningApplication(std::int32_t processIdentifier);

} // namespace quorvantile
