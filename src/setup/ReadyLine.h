#pragma once

#include "setup/SetupError.h"

#include <cstddef>
#include <string_view>

namespace quorvantile::setup {

// The server child's first line on its standard output is read until a line feed or until the
// buffer holds more than this many bytes, whichever comes first.
inline constexpr std::size_t kMaximumReadyBufferBytes = 4095;

// Judges what the child wrote before it was ready: the first non-empty line (without a line feed:
// the whole buffer) must be a JSON object whose member "ready" is the Boolean true. Other members
// are ignored. A text that is not JSON gives the parser's error; anything else that falls short
// gives `notReady`.
[[nodiscard]] Outcome parseReadyLine(std::string_view buffer);

} // namespace quorvantile::setup
