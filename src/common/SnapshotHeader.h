#pragma once

#include <cstdint>

namespace quorvantile {

// Every snapshot record starts with `version` and `uptime`, the system uptime when it was finished.
inline constexpr std::int64_t kSnapshotVersion = 1;
// A snapshot older than this (on the uptime clock) is stale and is never sent.
inline constexpr double kMaximumSnapshotAgeSeconds = 2.0;

// Version 1, `uptime` finite and not negative (negative zero passes), `now` finite, and `uptime`
// not after `now` and at most kMaximumSnapshotAgeSeconds before it.
[[nodiscard]] bool isValidSnapshotHeader(std::int64_t version, double uptime, double now);

} // namespace quorvantile
