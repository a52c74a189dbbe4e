#pragma once

#include "common/Environment.h"

#include <optional>
#include <string>
#include <string_view>

namespace quorvantile {

inline constexpr std::string_view kApplicationGroup = "7Q4KX2M8PZ.com.zembo.quorvantile";
inline constexpr std::string_view kSocketFileName = "sensors-v1.sock";
inline constexpr std::string_view kLockFileName = "sensors-v1.lock";

// The application group's container directory, shared by the server and its clients; created
// (mode 0700) when missing. Absent when no suitable base directory exists or it cannot be made.
[[nodiscard]] std::optional<std::string> groupContainer(const Environment& environment);

// The socket path inside the container.
[[nodiscard]] std::optional<std::string> companionSocketPath(const Environment& environment);

} // namespace quorvantile
