#pragma once

// Reading records and enumerations written as Json.h describes, through the JSON library's tree.

#include "common/Json.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace quorvantile::json {

using Json = nlohmann::ordered_json;

bool decodeValue(const Json& value, bool& out);
bool decodeValue(const Json& value, double& out);
bool decodeValue(const Json& value, std::string& out);

// Integers must be JSON integers (no fraction, no exponent) that fit the field's type.
template<Integer Value> bool decodeValue(const Json& value, Value& out)
{
    const auto store = [&out](auto number) {
        if (std::in_range<Value>(number)) {
            out = static_cast<Value>(number);
            return true;
        }
        return false;
    };
    if (value.is_number_unsigned()) {
        return store(value.get<std::uint64_t>());
    }
    return value.is_number_integer() && store(value.get<std::int64_t>());
}

template<NamedEnum Enum> bool decodeValue(const Json& value, Enum& out)
{
    if (!value.is_string()) {
        return false;
    }
    const auto found = enumFromText<Enum>(value.get_ref<const std::string&>());
    if (found) {
        out = *found;
    }
    return found.has_value();
}

template<Record Value> bool decodeValue(const Json& value, Value& record);

template<typename Element> bool decodeValue(const Json& value, std::vector<Element>& out)
{
    if (!value.is_array()) {
        return false;
    }
    std::vector<Element> elements;
    elements.reserve(value.size());
    for (const Json& item : value) {
        Element element {};
        if (!decodeValue(item, element)) {
            return false;
        }
        elements.push_back(std::move(element));
    }
    out = std::move(elements);
    return true;
}

// A missing key or a value of the wrong type fails.
template<typename Value> bool decodeField(const Json& object, std::string_view key, Value& out)
{
    const auto found = object.find(key);
    return found != object.end() && decodeValue(*found, out);
}

// A missing key and `null` both read as absent; a present value of the wrong type fails.
template<typename Value> bool decodeField(const Json& object, std::string_view key, std::optional<Value>& out)
{
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        out.reset();
        return true;
    }
    Value value {};
    if (!decodeValue(*found, value)) {
        return false;
    }
    out = std::move(value);
    return true;
}

template<Record Value> bool decodeValue(const Json& value, Value& record)
{
    return value.is_object() &&
        std::apply(
            [&](const auto&... fields) { return (decodeField(value, fields.key, record.*fields.member) && ...); },
            Value::jsonFields());
}

// Parses one JSON document (surrounding white space allowed, nothing else) into `Value`.
template<typename Value> std::optional<Value> decode(std::string_view bytes)
{
    const Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded()) {
        return std::nullopt;
    }
    Value value {};
    if (!decodeValue(document, value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace quorvantile::json
