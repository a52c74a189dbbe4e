#pragma once

#include "sensors/Registry.h"

#include <memory>
#include <string>

namespace quorvantile {

// The machine's registry, with every service class the sensor readers look for, over the sysfs
// tree at `sysfsRoot`.
[[nodiscard]] std::unique_ptr<Registry> systemRegistry(const std::string& sysfsRoot);

} // namespace quorvantile
