#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace quorvantile::text {

// Whether a decimal text may begin with one '+' or '-'.
enum class Sign { none, allowed };

// The whole of `text` as a decimal integer of type `Integer`: at least one digit, nothing else but,
// where allowed, one leading sign. No white space, no second sign, no fraction, nothing out of range
// ("-0" is 0, even for an unsigned type). Leading zeros are taken; callers that refuse them say so.
template<std::integral Integer>
requires(!std::is_same_v<Integer, bool>)
    [[nodiscard]] std::optional<Integer> parseDecimal(std::string_view text, Sign sign = Sign::none)
{
    bool negative = false;
    if (sign == Sign::allowed && !text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt; // from_chars alone would take a minus sign here
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc {} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (!negative || magnitude == 0) {
        return std::in_range<Integer>(magnitude) ? std::optional<Integer>(static_cast<Integer>(magnitude))
                                                 : std::nullopt;
    }
    if constexpr (std::is_unsigned_v<Integer>) {
        return std::nullopt;
    } else {
        // The most negative value has one more unit than the most positive one.
        const auto largest = static_cast<std::uint64_t>(std::numeric_limits<Integer>::max()) + 1;
        if (magnitude > largest) {
            return std::nullopt;
        }
        return static_cast<Integer>(-static_cast<std::int64_t>(magnitude - 1) - 1);
    }
}

// Two lowercase hexadecimal digits a byte, in order.
[[nodiscard]] inline std::string hexadecimal(std::span<const std::uint8_t> bytes)
{
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

} // namespace quorvantile::text
