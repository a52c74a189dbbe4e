#include "sensors/Registry.h"

#include <array>
#include <charconv>
#include <type_traits>

namespace quorvantile {

std::optional<std::string> numberText(const RegistryScalar& value)
{
    return std::visit(
        [](const auto& held) -> std::optional<std::string> {
            using Held = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<Held, std::int64_t>) {
                return std::to_string(held);
            } else if constexpr (std::is_same_v<Held, double>) {
                // The shortest text that reads back to the same double, as the platform prints it.
                std::array<char, 32> text {};
                const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), held);
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
