#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quorvantile {

// A value of the platform's property lists (registry properties, user defaults), seen through the
// few questions that the mappings to this program's own value types ask. The macOS side answers
// them over CoreFoundation objects; tests answer them over plain values.
class PropertyValue {
public:
    enum class Kind { boolean, integer, floating, text, dictionary, other };

    virtual ~PropertyValue() = default;
    [[nodiscard]] virtual Kind kind() const = 0;
    // The value of a Boolean.
    [[nodiscard]] virtual bool boolean() const = 0;
    // The value of an integer number; absent when it does not fit 64 signed bits.
    [[nodiscard]] virtual std::optional<std::int64_t> integer() const = 0;
    // The value of a floating-point number.
    [[nodiscard]] virtual double floating() const = 0;
    // A text as UTF-8; absent when it cannot be converted.
    [[nodiscard]] virtual std::optional<std::string> text() const = 0;
    // Each entry of a dictionary in turn; nothing for any other kind.
    virtual void forEachEntry(
        const std::function<void(const PropertyValue& key, const PropertyValue& value)>& visit) const = 0;
};

} // namespace quorvantile
