#pragma once

#include "sensors/Registry.h"

#include <string>
#include <vector>

namespace quorvantile {

// One registry class built over sysfs ("AppleSmartBattery", "AppleDeviceManagementHIDEventService").
// The sysfs registry walks it and hashes device paths into entry ids.
class SysfsServiceClass {
public:
    virtual ~SysfsServiceClass() = default;
    // Canonical paths of the matching devices, in a stable order; absent when they cannot be listed.
    [[nodiscard]] virtual std::optional<std::vector<std::string>> devices() const = 0;
    // One property of one listed device; absent when the device does not have it.
    [[nodiscard]] virtual std::optional<RegistryValue> property(
        const std::string& device, std::string_view name) const = 0;
};

} // namespace quorvantile
