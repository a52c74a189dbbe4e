#pragma once

#include "sensors/Registry.h"

#include <memory>
#include <string>

namespace quorvantile {

// The machine's registry, with every service class the sensor readers look for, over the sysfs
// tree at `sysfsRoot`. The overload without a root uses $QUORVANTILE_SYSFS_ROOT or /sys.
[[nodiscard]] std::unique_ptr<Registry> systemRegistry(const std::string& sysfsRoot);
[[nodiscard]] std::unique_ptr<Registry> systemRegistry();

} // namespace quorvantile
