#pragma once

#include "common/PropertyValue.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quorvantile::testing {

// A property-list value made of plain values: what the platform's objects look like to the
// mappings, including the answers that CoreFoundation can give and plain values cannot.
class FakePropertyValue final : public PropertyValue {
public:
    struct Other { }; // data, a date, an array
    struct WideInteger { }; // an integer number beyond 64 signed bits
    struct Unconvertible { }; // a text with no UTF-8 form (a lone surrogate)
    using Entry = std::pair<std::shared_ptr<const FakePropertyValue>, std::shared_ptr<const FakePropertyValue>>;
    using Held =
        std::variant<bool, std::int64_t, double, std::string, std::vector<Entry>, Other, WideInteger, Unconvertible>;

    FakePropertyValue(Held held) : held_(std::move(held)) { }
    FakePropertyValue(const char* text) : held_(std::string(text)) { }

    static FakePropertyValue dictionary(std::initializer_list<std::pair<FakePropertyValue, FakePropertyValue>> entries)
    {
        std::vector<Entry> held;
        for (const auto& [key, value] : entries) {
            held.emplace_back(std::make_shared<FakePropertyValue>(key), std::make_shared<FakePropertyValue>(value));
        }
        return FakePropertyValue(std::move(held));
    }

    [[nodiscard]] Kind kind() const override
    {
        return std::visit(
            [](const auto& value) {
                using Value = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<Value, bool>) {
                    return Kind::boolean;
                } else if constexpr (std::is_same_v<Value, std::int64_t> || std::is_same_v<Value, WideInteger>) {
                    return Kind::integer;
                } else if constexpr (std::is_same_v<Value, double>) {
                    return Kind::floating;
                } else if constexpr (std::is_same_v<Value, std::string> || std::is_same_v<Value, Unconvertible>) {
                    return Kind::text;
                } else if constexpr (std::is_same_v<Value, std::vector<Entry>>) {
                    return Kind::dictionary;
                } else {
                    return Kind::other;
                }
            },
            held_);
    }
    [[nodiscard]] bool boolean() const override { return std::get<bool>(held_); }
    [[nodiscard]] std::optional<std::int64_t> integer() const override
    {
        const auto* integer = std::get_if<std::int64_t>(&held_);
        return integer != nullptr ? std::optional(*integer) : std::nullopt;
    }
    [[nodiscard]] double floating() const override { return std::get<double>(held_); }
    [[nodiscard]] std::optional<std::string> text() const override
    {
        const auto* text = std::get_if<std::string>(&held_);
        return text != nullptr ? std::optional(*text) : std::nullopt;
    }
    void forEachEntry(
        const std::function<void(const PropertyValue& key, const PropertyValue& value)>& visit) const override
    {
        if (const auto* entries = std::get_if<std::vector<Entry>>(&held_)) {
            for (const auto& [key, value] : *entries) {
                visit(*key, *value);
            }
        }
    }

private:
    Held held_;
};

} // namespace quorvantile::testing
