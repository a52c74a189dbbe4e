#pragma once

#include "sensors/Registry.h"
#include "sensors/linux/Sysfs.h"

#include <string>
#include <utility>
#include <vector>

namespace quorvantile {

// One registry class built over sysfs ("AppleSmartBattery", "AppleDeviceManagementHIDEventService").
// The sysfs registry walks it and hashes device paths into entry ids.
class SysfsServiceClass {
public:
    virtual ~SysfsServiceClass() = default;
    // The class's devices are the candidates that match. Listing them in two steps lets the
    // validity check at the end of a walk re-read only the directory.
    // candidates(): the devices in a stable order, without reading any attribute; absent when they
    // cannot be listed. candidateEntries(): the directory's entries alone, which tell whether
    // anything came or went since.
    [[nodiscard]] virtual std::optional<std::vector<sysfs::ClassDevice>> candidates() const = 0;
    [[nodiscard]] virtual std::optional<std::vector<sysfs::ClassEntry>> candidateEntries() const = 0;
    // classify(): whether one candidate belongs to the class, and whether that holds for as long as
    // the device stays registered (not when an attribute it depends on could not be read now).
    struct Verdict {
        bool matches = false;
        bool settled = true;
    };
    [[nodiscard]] virtual Verdict classify(const std::string& device) const = 0;
    // One property of one listed device; absent when the device does not have it.
    [[nodiscard]] virtual std::optional<RegistryValue> property(
        const std::string& device, std::string_view name) const = 0;
};

// A class over power_supply: every supply is a candidate, and the class's own rule matches.
class PowerSupplyServiceClass : public SysfsServiceClass {
public:
    explicit PowerSupplyServiceClass(std::string sysfsRoot) : root_(std::move(sysfsRoot)) { }

    [[nodiscard]] std::optional<std::vector<sysfs::ClassDevice>> candidates() const final
    {
        return sysfs::listClass(root_, "power_supply");
    }
    [[nodiscard]] std::optional<std::vector<sysfs::ClassEntry>> candidateEntries() const final
    {
        return sysfs::listClassEntries(root_, "power_supply");
    }

protected:
    [[nodiscard]] const std::string& root() const { return root_; }

private:
    std::string root_;
};

} // namespace quorvantile
