#include "setup/DefaultsValue.h"
#include "common/JsonDecode.h"

#include <limits>
#include <utility>

namespace quorvantile::setup {
namespace {

// Dictionaries nested deeper than this are left out, so that no stored value can exhaust the stack.
constexpr int kMaximumDictionaryDepth = 32;

std::optional<json::Json> converted(const PropertyValue& value, int depth)
{
    switch (value.kind()) {
    case PropertyValue::Kind::boolean:
        return json::Json(value.boolean());
    case PropertyValue::Kind::integer:
        if (const auto integer = value.integer()) {
            return json::Json(*integer);
        }
        return std::nullopt;
    case PropertyValue::Kind::floating:
        return json::Json(value.floating());
    case PropertyValue::Kind::text:
        if (auto text = value.text()) {
            return json::Json(std::move(*text));
        }
        return std::nullopt;
    case PropertyValue::Kind::dictionary: {
        if (depth == kMaximumDictionaryDepth) {
            return std::nullopt;
        }
        auto object = json::Json::object();
        value.forEachEntry([&object, depth](const PropertyValue& key, const PropertyValue& entry) {
            auto name = key.kind() == PropertyValue::Kind::text ? key.text() : std::nullopt;
            auto member = name ? converted(entry, depth + 1) : std::nullopt;
            if (member) {
                object[std::move(*name)] = std::move(*member);
            }
        });
        return object;
    }
    case PropertyValue::Kind::other:
        break;
    }
    return std::nullopt;
}

} // namespace

std::optional<json::Json> defaultsValue(const PropertyValue& value) { return converted(value, 0); }

std::optional<DefaultsScalar> storableDefault(const json::Json& value)
{
    if (value.is_boolean()) {
        return DefaultsScalar(value.get<bool>());
    }
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return DefaultsScalar(value.get<std::int64_t>());
    }
    if (value.is_number_float()) {
        return DefaultsScalar(value.get<double>());
    }
    if (value.is_string()) {
        return DefaultsScalar(value.get<std::string>());
    }
    return std::nullopt;
}

} // namespace quorvantile::setup
