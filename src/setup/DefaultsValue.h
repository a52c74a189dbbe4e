#pragma once

#include "common/JsonDecode.h"
#include "common/PropertyValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

// The user defaults of the platform hold property-list values; the setup state reads and writes
// JSON values. These are the two directions between them.
namespace quorvantile::setup {

// A stored default as JSON: a Boolean, an integer, a floating number or a text as it is; a
// dictionary (to 32 levels) as an object of the entries that have a text key and a value of these
// kinds. Absent for any other kind (data, dates, arrays, numbers beyond 64 bits), which reads like
// nothing stored.
[[nodiscard]] std::optional<json::Json> defaultsValue(const PropertyValue& value);

// What a JSON value is stored as: a Boolean, an integer of 64 signed bits, a floating number or a
// text. Absent for anything else (null, arrays, objects, integers above the signed range), which
// is refused rather than stored as something else.
using DefaultsScalar = std::variant<bool, std::int64_t, double, std::string>;
[[nodiscard]] std::optional<DefaultsScalar> storableDefault(const json::Json& value);

} // namespace quorvantile::setup
