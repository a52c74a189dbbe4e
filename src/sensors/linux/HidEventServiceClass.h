#pragma once

#include "sensors/linux/SysfsServiceClass.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile {

// What the accessory reader needs from a HID device's `uevent`.
struct HidUevent {
    std::optional<std::uint32_t> bus; // first field of HID_ID ("0005:0000046D:0000B01A" → 0x0005)
    std::optional<std::string> name; // HID_NAME, unchanged
};

// Parses "KEY=VALUE" lines; a malformed HID_ID leaves `bus` absent. Unknown keys are ignored.
[[nodiscard]] HidUevent parseHidUevent(std::string_view text);

// "AppleDeviceManagementHIDEventService" over power_supply: every supply whose `scope` is "Device"
// (the battery of a mouse, keyboard or pad, not the machine's own):
//   "BatteryPercent"  `capacity` as an integer; its text when not one; without `capacity`, the text
//                     of `capacity_level`; absent when there is neither file
//   "Product"         `model_name`, else the HID device's HID_NAME
//   "Transport"       from the HID bus: USB → "USB"; Bluetooth → "BluetoothLowEnergy" below uhid (HID
//                     over GATT is driven from user space), "Bluetooth" otherwise; absent for other buses
class HidEventServiceClass final : public PowerSupplyServiceClass {
public:
    using PowerSupplyServiceClass::PowerSupplyServiceClass;

    [[nodiscard]] std::optional<RegistryValue> property(
        const std::string& device, std::string_view name) const override;
    [[nodiscard]] Verdict classify(const std::string& device) const override;
};

} // namespace quorvantile
