#include "common/SnapshotHeader.h"

#include <cmath>

namespace quorvantile {

bool isValidSnapshotHeader(std::int64_t version, double uptime, double now)
{
    // -0.0 < 0 is false, so a negative zero passes; every comparison with NaN fails.
    return version == kSnapshotVersion && std::isfinite(uptime) && uptime >= 0 && std::isfinite(now) && uptime <= now &&
        now - uptime <= kMaximumSnapshotAgeSeconds;
}

} // namespace quorvantile
