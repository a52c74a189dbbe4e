#pragma once

#include "sensors/Registry.h"
#include "sensors/linux/SysfsServiceClass.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvantile {

// The registry over sysfs: each class name is served by one SysfsServiceClass. Entry ids are the
// hash of the device's canonical path; a walk is valid while its set of matching devices holds.
// Which devices belong to a class is remembered from walk to walk while the class folder lists the
// very same entries (sysfs gives a device registered anew a new one): a registry kept for many
// walks reads only the properties asked for. Not thread-safe.
class SysfsRegistry final : public Registry {
public:
    using Classes = std::map<std::string, std::shared_ptr<const SysfsServiceClass>, std::less<>>;

    explicit SysfsRegistry(Classes classes);

    // An empty walk for a class nothing serves; null when the class's devices cannot be listed.
    [[nodiscard]] std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) override;

private:
    // A walk's devices as listed, and each one's verdict once it is settled.
    struct Walked {
        std::vector<sysfs::ClassDevice> devices;
        std::vector<std::optional<bool>> settled;
    };

    Classes classes_;
    std::map<std::string, Walked, std::less<>> walked_;
};

} // namespace quorvantile
