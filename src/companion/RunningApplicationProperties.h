#pragma once

#include "companion/AppQuitOperatingSystem.h"

#include <cstdint>
#include <optional>
#include <string>

// What the platform's running-application object reports, as the quit handler takes it.
namespace quorvantile {

// The platform's activation policy number (0 regular, 1 accessory, 2 prohibited). A number this
// program does not know is never taken for regular: it reads as prohibited.
[[nodiscard]] ActivationPolicy activationPolicyFromPlatform(std::int64_t platformPolicy);

// The bundle identifier as the platform gives it: absent when there is none, or when it is empty,
// not valid UTF-8 or holds a zero byte (no such text can equal a valid request's identifier).
[[nodiscard]] std::optional<std::string> bundleIdentifierFromPlatform(std::optional<std::string> text);

} // namespace quorvantile
