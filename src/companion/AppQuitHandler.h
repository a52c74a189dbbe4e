#pragma once

#include "companion/AppQuitOperatingSystem.h"
#include "companion/AppQuitRequest.h"

#include <functional>

namespace quorvantile::AppQuitHandler {

// Asks the application named by `request` to quit when every check passes: a valid request, not this
// process, its parent or the `requester` (the peer that asked), the same process incarnation and user
// before and after the application checks, a regular application with exactly the requested bundle
// identifier that has not terminated. Returns whether the ask was delivered. Never signals more than
// that ask and never retries. When `cancelled` is given and answers true at one of the two points
// where a cancelled caller is looked for, it refuses.
[[nodiscard]] bool request(const AppQuitRequest& request, AppQuitOperatingSystem& system, std::int32_t requester,
    const std::function<bool()>& cancelled = {});

} // namespace quorvantile::AppQuitHandler
