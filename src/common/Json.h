#pragma once

// The one JSON module every wire record goes through.
//
// Writing keeps object keys in the order a record declares its fields (never sorted), writes 64-bit
// integers in full, writes doubles in their shortest form that reads back bit-identical, leaves
// absent optionals out and refuses non-finite doubles. Reading looks keys up by name, ignores
// unknown keys, reads `null` as absent and refuses a wrong JSON type or an out-of-range number.
//
// A record names its fields once, in the order they are written; each is written under its member's
// name. An `std::optional` member is an optional field, every other member is required:
//
//     struct Example {
//         std::int64_t version = 1;
//         std::optional<std::string> name;
//
//         QUORVANTILE_JSON_FIELDS(Example, version, name)
//     };
//
// (The macro defines `static constexpr auto jsonFields()`, a tuple of `json::field(key, member)`; a
// record whose keys differ from its members' names writes that function by hand.)
//
// An enumeration names its JSON texts once, in a function found next to it:
//
//     enum class Colour { red, green };
//     constexpr std::array<std::pair<Colour, std::string_view>, 2> kColourTexts {{{Colour::red, "red"}, ...}};
//     constexpr std::span<const std::pair<Colour, std::string_view>> jsonTexts(Colour) { return kColourTexts; }
//
// Members may be booleans, integers, doubles, strings, such enumerations, records, vectors and
// optionals of these. Then `json::encode(record)` writes and `json::decode<Example>(bytes)` reads it.
// Reading is in JsonDecode.h, the one header that brings in the JSON library: most code only writes.

#include <array>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvantile::json {

// One field of a record: its JSON key and the member that holds it.
template<typename Record, typename Member> struct Field {
    std::string_view key;
    Member Record::*member;
};

template<typename Record, typename Member>
constexpr Field<Record, Member> field(std::string_view key, Member Record::*member)
{
    return {key, member};
}

// QUORVANTILE_JSON_FIELDS(Record, member...): see the top of this file. Each rescan of the expansion
// takes one more member; there are 16 rescans, so a record may name up to 16 fields.
#define QUORVANTILE_JSON_FIELDS(Record, ...)                                                                           \
    static constexpr auto jsonFields() { return std::tuple {QUORVANTILE_JSON_FOR_EACH(Record, __VA_ARGS__)}; }
#define QUORVANTILE_JSON_FIELD(Record, member) ::quorvantile::json::field(#member, &Record::member)
#define QUORVANTILE_JSON_FOR_EACH(Record, ...)                                                                         \
    __VA_OPT__(QUORVANTILE_JSON_EXPAND(QUORVANTILE_JSON_FOR_EACH_STEP(Record, __VA_ARGS__)))
#define QUORVANTILE_JSON_FOR_EACH_STEP(Record, member, ...)                                                            \
    QUORVANTILE_JSON_FIELD(Record, member)                                                                             \
    __VA_OPT__(, QUORVANTILE_JSON_FOR_EACH_AGAIN QUORVANTILE_JSON_PARENS(Record, __VA_ARGS__))
#define QUORVANTILE_JSON_FOR_EACH_AGAIN() QUORVANTILE_JSON_FOR_EACH_STEP
#define QUORVANTILE_JSON_PARENS ()
#define QUORVANTILE_JSON_EXPAND(...)                                                                                   \
    QUORVANTILE_JSON_EXPAND4(QUORVANTILE_JSON_EXPAND4(QUORVANTILE_JSON_EXPAND4(QUORVANTILE_JSON_EXPAND4(__VA_ARGS__))))
#define QUORVANTILE_JSON_EXPAND4(...)                                                                                  \
    QUORVANTILE_JSON_EXPAND1(QUORVANTILE_JSON_EXPAND1(QUORVANTILE_JSON_EXPAND1(QUORVANTILE_JSON_EXPAND1(__VA_ARGS__))))
#define QUORVANTILE_JSON_EXPAND1(...) __VA_ARGS__

template<typename Type>
concept Record = requires
{
    Type::jsonFields();
};

template<typename Type>
concept NamedEnum = std::is_enum_v<Type> && requires(Type value)
{
    {
        *jsonTexts(value).begin()
        } -> std::convertible_to<std::pair<Type, std::string_view>>;
};

template<typename Type>
concept Integer = std::is_integral_v<Type> && !std::is_same_v<Type, bool>;

// The text an enumeration value is written as, and the value a text names (case matters).
template<NamedEnum Enum> std::optional<std::string_view> enumText(Enum value)
{
    for (const auto& [candidate, text] : jsonTexts(value)) {
        if (candidate == value) {
            return text;
        }
    }
    return std::nullopt;
}

template<NamedEnum Enum> std::optional<Enum> enumFromText(std::string_view text)
{
    for (const auto& [value, candidate] : jsonTexts(Enum {})) {
        if (candidate == text) {
            return value;
        }
    }
    return std::nullopt;
}

// ---- Encoding ---------------------------------------------------------------------------------

// Thrown only inside this module's encoder and caught by `encode`.
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The encoder writes straight into one string, as the tree's compact dump would write it, without
// building the tree: the inventory reply holds hundreds of records.

void encodeText(std::string& out, std::string_view text); // throws EncodingError when not valid UTF-8
void encodeValue(std::string& out, double value); // throws EncodingError when not finite

inline void encodeValue(std::string& out, const std::string& value) { encodeText(out, value); }

inline void encodeValue(std::string& out, bool value) { out += value ? "true" : "false"; }

template<Integer Value> void encodeValue(std::string& out, Value value)
{
    std::array<char, std::numeric_limits<std::uint64_t>::digits10 + 3> digits {};
    const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), written.ptr);
}

template<NamedEnum Enum> void encodeValue(std::string& out, Enum value)
{
    const auto text = enumText(value);
    if (!text) {
        throw EncodingError("an enumeration value without a JSON text");
    }
    encodeText(out, *text);
}

template<Record Value> void encodeValue(std::string& out, const Value& record);

template<typename Element> void encodeValue(std::string& out, const std::vector<Element>& elements)
{
    out += '[';
    for (std::size_t index = 0; index < elements.size(); ++index) {
        if (index != 0) {
            out += ',';
        }
        encodeValue(out, elements[index]);
    }
    out += ']';
}

// Writes `"key":value`, after a comma unless it is the object's first member.
template<typename Value> void encodeField(std::string& out, bool& first, std::string_view key, const Value& value)
{
    if (!first) {
        out += ',';
    }
    first = false;
    encodeText(out, key);
    out += ':';
    encodeValue(out, value);
}

// An absent optional is left out: no key, no null.
template<typename Value>
void encodeField(std::string& out, bool& first, std::string_view key, const std::optional<Value>& value)
{
    if (value) {
        encodeField(out, first, key, *value);
    }
}

template<Record Value> void encodeValue(std::string& out, const Value& record)
{
    out += '{';
    bool first = true;
    std::apply([&](const auto&... fields) { (encodeField(out, first, fields.key, record.*fields.member), ...); },
        Value::jsonFields());
    out += '}';
}

// Compact JSON text of `value`, or nothing when it holds a non-finite double or invalid UTF-8.
template<typename Value> std::optional<std::string> encode(const Value& value)
{
    try {
        std::string out;
        encodeValue(out, value);
        return out;
    } catch (const EncodingError&) {
        return std::nullopt;
    }
}

} // namespace quorvantile::json
