#include "sensors/Registry.h"

#include "common/JsonDecode.h"

#include <array>
#include <cmath>
#include <cstdio>
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
                if (!std::isfinite(held)) {
                    return std::nullopt; // no digits stand for an infinity or a NaN
                }
                // An integral value as its digits, whatever its size (100000, never "1e+05"): printf
                // writes them exactly. Any other as the shortest text that reads back to the same
                // double (the floating-point to_chars is missing from the C++ library of older macOS).
                if (std::trunc(held) != held) {
                    return json::Json(held).dump();
                }
                std::array<char, kLongestDoubleDigits> text {};
                const int length = std::snprintf(text.data(), text.size(), "%.0f", held);
                if (length < 0 || static_cast<std::size_t>(length) >= text.size()) {
                    return std::nullopt;
                }
                return std::string(text.data(), static_cast<std::size_t>(length));
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
