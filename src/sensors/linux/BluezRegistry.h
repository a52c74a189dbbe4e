#pragma once

#include "common/Clock.h"
#include "sensors/Registry.h"

#include <memory>
#include <string>

namespace quorvantile {

// Another registry with BlueZ's devices added to its "AppleDeviceManagementHIDEventService" class:
// after that class's power_supply services, one service for each BlueZ object with both
// org.bluez.Device1 and org.bluez.Battery1, unless power_supply lists it already as
// hid-<address>-battery. Its properties:
//   "BatteryPercent"  Battery1.Percentage
//   "Product"         Device1.Alias, else Device1.Name
//   "Transport"       "BluetoothLowEnergy" for a device known only over LE, else "Bluetooth"
// Its entry id is the hash of its object path. A walk is valid while neither source's set of
// services changed. Other classes are the other registry's alone.
class BluezRegistry final : public Registry {
public:
    // `sysfsRoot`: where power_supply is listed; `busAddress`: the system bus; BlueZ must have
    // answered by `deadline` (uptime seconds on `clock`).
    BluezRegistry(std::unique_ptr<Registry> registry, std::string sysfsRoot, std::string busAddress, double deadline,
        const Clock& clock);

    [[nodiscard]] std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) override;

private:
    std::unique_ptr<Registry> registry_;
    std::string sysfsRoot_;
    std::string busAddress_;
    double deadline_;
    const Clock& clock_;
};

} // namespace quorvantile
