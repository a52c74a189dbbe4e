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

    // A class that lists a directory and then keeps the entries whose attributes match can expose
    // the two steps, so that the validity check at the end of a walk re-reads only the directory.
    // candidates(): canonical paths in a stable order, without reading any attribute.
    // matches(): whether one candidate belongs to the class.
    [[nodiscard]] virtual std::optional<std::vector<std::string>> candidates() const { return devices(); }
    [[nodiscard]] virtual bool matches(const std::string& /*device*/) const { return true; }
};

} // namespace quorvantile
