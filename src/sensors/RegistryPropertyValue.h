#pragma once

#include "common/PropertyValue.h"
#include "sensors/Registry.h"

#include <optional>

namespace quorvantile {

// A registry property as the readers take it: a Boolean, an integer of 64 signed bits, a floating
// number or a text as it is; a dictionary as the entries among its own that have a text key and a
// scalar value. Absent for every other kind (data, arrays, numbers beyond 64 bits, texts that are
// not Unicode), which the readers treat as a missing property.
[[nodiscard]] std::optional<RegistryValue> registryValue(const PropertyValue& value);

} // namespace quorvantile
