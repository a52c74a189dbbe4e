#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvantile::text {

// Names and model texts that leave this process are at most this long.
inline constexpr std::size_t kMaximumNameBytes = 128;

[[nodiscard]] bool isValidUtf8(std::string_view bytes);

// True when some scalar is of general category Cc or Cf (tab, line feed, U+200B …), or when the
// bytes are not valid UTF-8 at all.
[[nodiscard]] bool containsControlCharacters(std::string_view bytes);

// True when every scalar has the Unicode White_Space property (the empty text included). Invalid
// UTF-8 is not blank.
[[nodiscard]] bool isBlank(std::string_view bytes);

// The shared name rule: 1 to `maximumBytes` bytes of valid UTF-8 without control characters.
[[nodiscard]] bool isValidName(std::string_view bytes, std::size_t maximumBytes = kMaximumNameBytes);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with U+FFFD.
[[nodiscard]] std::string decodeUtf8Lossy(std::string_view bytes);

} // namespace quorvantile::text
