#pragma once

#include "common/macos/CfObject.h"

#include <optional>
#include <string>
#include <string_view>

namespace quorvantile {

// A CoreFoundation string of UTF-8 `text`; empty when the bytes are not UTF-8.
[[nodiscard]] CfObject<CFStringRef> cfString(std::string_view text);

// The UTF-8 bytes of `string`; absent for a null string or one that cannot be converted.
[[nodiscard]] std::optional<std::string> utf8Text(CFStringRef string);

} // namespace quorvantile
