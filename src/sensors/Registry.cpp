#include "sensors/Registry.h"

#include <array>
#include <charconv>
#include <cmath>
#include <type_traits>

namespace quorvantile {
namespace {

// The sign and the 309 digits of the largest double, with room to spare.
constexpr std::size_t kLongestDoubleDigits = 320;

} // namespace

std::optional<std::string> numberText(const RegistryScalar& value)
{
    return std::visit(
        [](const auto& held) -> std::optional<std::string> {
            using Held = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, std::int64_t>) {
                return std::to_string(held);
            } else if constexpr (std::is_same_v<Held, double>) {
                // An integral value as its digits, whatever its size (100000, never "1e+05"); any
                // other as the shortest text that reads back to the same double.
                std::array<char, kLongestDoubleDigits> text {};
                const auto [end, error] = std::isfinite(held) && std::trunc(held) == held
                    ? std::to_chars(text.data(), text.data() + text.size(), held, std::chars_format::fixed, 0)
                    : std::to_chars(text.data(), text.data() + text.size(), held);
                if (error != std::errc {}) {
                    return std::nullopt;
                }
                return std::string(text.data(), end);
            } else {
                return std::nullopt; // Booleans and texts are not numbers
            }
        },
        value);
}

std::optional<std::string> numberText(const RegistryValue& value)
{
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        return numberText(RegistryScalar(*integer));
    }
    if (const auto* floating = std::get_if<double>(&value)) {
        return numberText(RegistryScalar(*floating));
    }
    return std::nullopt;
}

} // namespace quorvantile
