#pragma once

#include "sensors/Registry.h"
#include "sensors/linux/SysfsServiceClass.h"

#include <map>
#include <memory>
#include <string>

namespace quorvantile {

// The registry over sysfs: each class name is served by one SysfsServiceClass. Entry ids are the
// hash of the device's canonical path; a walk is valid while its set of matching devices holds.
class SysfsRegistry final : public Registry {
public:
    using Classes = std::map<std::string, std::shared_ptr<const SysfsServiceClass>, std::less<>>;

    explicit SysfsRegistry(Classes classes);

    // An empty walk for a class nothing serves; null when the class's devices cannot be listed.
    [[nodiscard]] std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) override;

private:
    Classes classes_;
};

} // namespace quorvantile
