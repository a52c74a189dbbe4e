#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "sensors/Registry.h"

#include <memory>
#include <string>

namespace quorvantile {

// The machine's registry, with every service class the sensor readers look for, over the sysfs
// tree at `sysfsRoot` alone.
[[nodiscard]] std::unique_ptr<Registry> systemRegistry(const std::string& sysfsRoot);

// The same over the trees of `roots`, with the services the system bus of `roots` knows as well:
// accessories that BlueZ sees join the HID event services. What is asked on the bus must answer
// before `deadline` (uptime seconds on `clock`).
[[nodiscard]] std::unique_ptr<Registry> systemRegistry(const SystemRoots& roots, double deadline, const Clock& clock);

} // namespace quorvantile
