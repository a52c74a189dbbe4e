#pragma once

// The one JSON module every wire record goes through.
//
// Writing keeps object keys in the order a record declares its fields (never sorted), writes 64-bit
// integers in full, writes doubles in their shortest form that reads back bit-identical, leaves
// absent optionals out and refuses non-finite doubles. Reading looks keys up by name, ignores
// unknown keys, reads `null` as absent and refuses a wrong JSON type or an out-of-range number.
//
// A record `R` takes part by declaring, next to it:
//     void encodeFields(json::ObjectWriter& writer, const R& record);
//     bool decodeValue(const json::Json& value, R& record);   // usually through ObjectReader
// and is then encoded with `json::encode(record)` and decoded with `json::decode<R>(bytes)`.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace quorvantile::json {

using Json = nlohmann::ordered_json;

// Thrown only inside this module's encoder and caught by `encode`.
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- Encoding ---------------------------------------------------------------------------------

inline Json encodeValue(bool value) { return value; }
inline Json encodeValue(const std::string& value) { return value; }
Json encodeValue(double value); // throws EncodingError when not finite

template<typename Integer>
requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>) Json encodeValue(Integer value)
{
    if constexpr (std::is_signed_v<Integer>) {
        return static_cast<std::int64_t>(value);
    } else {
        return static_cast<std::uint64_t>(value);
    }
}

class ObjectWriter;

template<typename Record>
requires requires(ObjectWriter& writer, const Record& record) { encodeFields(writer, record); }
Json encodeValue(const Record& record);

template<typename Element> Json encodeValue(const std::vector<Element>& elements)
{
    Json array = Json::array();
    for (const Element& element : elements) {
        array.push_back(encodeValue(element));
    }
    return array;
}

// Appends fields to one JSON object in the order they are written.
class ObjectWriter {
public:
    template<typename Value> ObjectWriter& field(std::string_view key, const Value& value)
    {
        object_.emplace(std::string(key), encodeValue(value));
        return *this;
    }

    // An absent optional is left out: no key, no null.
    template<typename Value> ObjectWriter& field(std::string_view key, const std::optional<Value>& value)
    {
        if (value) {
            field(key, *value);
        }
        return *this;
    }

    [[nodiscard]] Json take() { return std::move(object_); }

private:
    Json object_ = Json::object();
};

template<typename Record>
requires requires(ObjectWriter& writer, const Record& record) { encodeFields(writer, record); }
Json encodeValue(const Record& record)
{
    ObjectWriter writer;
    encodeFields(writer, record);
    return writer.take();
}

// Compact JSON text of `value`, or nothing when it holds a non-finite double or invalid UTF-8.
template<typename Value> std::optional<std::string> encode(const Value& value)
{
    try {
        return encodeValue(value).dump();
    } catch (const EncodingError&) {
        return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt; // a text that is not valid UTF-8
    }
}

// ---- Decoding ---------------------------------------------------------------------------------

bool decodeValue(const Json& value, bool& out);
bool decodeValue(const Json& value, double& out);
bool decodeValue(const Json& value, std::string& out);

// Integers must be JSON integers (no fraction, no exponent) that fit the field's type.
template<typename Integer>
requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>) bool decodeValue(
    const Json& value, Integer& out)
{
    using Limits = std::numeric_limits<Integer>;
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(Limits::max())) {
            return false;
        }
        out = static_cast<Integer>(number);
        return true;
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if constexpr (std::is_unsigned_v<Integer>) {
            if (number < 0 || static_cast<std::uint64_t>(number) > Limits::max()) {
                return false;
            }
        } else {
            if (number < static_cast<std::int64_t>(Limits::min()) ||
                number > static_cast<std::int64_t>(Limits::max())) {
                return false;
            }
        }
        out = static_cast<Integer>(number);
        return true;
    }
    return false;
}

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

// Reads the fields of one JSON object; the first failure sticks.
class ObjectReader {
public:
    explicit ObjectReader(const Json& value) : object_(value), ok_(value.is_object()) { }

    // A missing key or a value of the wrong type fails.
    template<typename Value> ObjectReader& required(std::string_view key, Value& out)
    {
        if (ok_) {
            const auto found = object_.find(key);
            ok_ = found != object_.end() && decodeValue(*found, out);
        }
        return *this;
    }

    // A missing key and `null` both read as absent; a present value of the wrong type fails.
    template<typename Value> ObjectReader& optional(std::string_view key, std::optional<Value>& out)
    {
        if (ok_) {
            const auto found = object_.find(key);
            if (found == object_.end() || found->is_null()) {
                out.reset();
            } else {
                Value value {};
                ok_ = decodeValue(*found, value);
                if (ok_) {
                    out = std::move(value);
                }
            }
        }
        return *this;
    }

    [[nodiscard]] bool ok() const { return ok_; }

private:
    const Json& object_;
    bool ok_;
};

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
