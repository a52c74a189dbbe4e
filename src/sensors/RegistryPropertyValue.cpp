#include "sensors/RegistryPropertyValue.h"

#include <utility>

namespace quorvantile {
namespace {

// A Boolean, integer, floating number or text as `Variant` (a scalar or a whole value, which both
// hold these four).
template<typename Variant> std::optional<Variant> scalar(const PropertyValue& value)
{
    switch (value.kind()) {
    case PropertyValue::Kind::boolean:
        return Variant(value.boolean());
    case PropertyValue::Kind::integer:
        if (const auto integer = value.integer()) {
            return Variant(*integer);
        }
        return std::nullopt;
    case PropertyValue::Kind::floating:
        return Variant(value.floating());
    case PropertyValue::Kind::text:
        if (auto text = value.text()) {
            return Variant(std::move(*text));
        }
        return std::nullopt;
    case PropertyValue::Kind::dictionary:
    case PropertyValue::Kind::other:
        break;
    }
    return std::nullopt;
}

} // namespace

std::optional<RegistryValue> registryValue(const PropertyValue& value)
{
    if (value.kind() != PropertyValue::Kind::dictionary) {
        return scalar<RegistryValue>(value);
    }
    // Filled in place: the dictionary is never moved into the variant.
    std::optional<RegistryValue> result(std::in_place, std::in_place_type<RegistryDictionary>);
    auto& dictionary = std::get<RegistryDictionary>(*result);
    value.forEachEntry([&dictionary](const PropertyValue& key, const PropertyValue& entry) {
        auto name = key.kind() == PropertyValue::Kind::text ? key.text() : std::nullopt;
        auto converted = name ? scalar<RegistryScalar>(entry) : std::nullopt;
        if (converted) {
            dictionary.insert_or_assign(std::move(*name), std::move(*converted));
        }
    });
    return result;
}

} // namespace quorvantile
