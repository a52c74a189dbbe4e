#include "sensors/SystemRegistry.h"

#include "sensors/linux/BluezRegistry.h"
#include "sensors/linux/HidEventServiceClass.h"
#include "sensors/linux/PowerSupplyBatteryClass.h"
#include "sensors/linux/SysfsRegistry.h"

namespace quorvantile {

std::unique_ptr<Registry> systemRegistry(const std::string& sysfsRoot)
{
    SysfsRegistry::Classes classes;
    classes.emplace("AppleSmartBattery", std::make_shared<PowerSupplyBatteryClass>(sysfsRoot));
    classes.emplace("AppleDeviceManagementHIDEventService", std::make_shared<HidEventServiceClass>(sysfsRoot));
    return std::make_unique<SysfsRegistry>(std::move(classes));
}

std::unique_ptr<Registry> systemRegistry(const SystemRoots& roots, double deadline, const Clock& clock)
{
    return std::make_unique<BluezRegistry>(systemRegistry(roots.sysfs), roots.sysfs, roots.systemBus, deadline, clock);
}

} // namespace quorvantile
