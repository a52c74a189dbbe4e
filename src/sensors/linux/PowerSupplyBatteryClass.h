#pragma once

#include "sensors/linux/SysfsServiceClass.h"

#include <string>

namespace quorvantile {

// "AppleSmartBattery" over power_supply: each supply of type Battery whose scope is not Device
// (a supply without a scope is the system's). Properties:
//   "BatteryInstalled" — `present` as a Boolean; a supply without the file is installed.
//   "BatteryData"      — {"DesignCapacity", "NominalChargeCapacity"} in mAh, from the charge
//                        attributes (µAh) or, when a battery reports energy only, from the energy
//                        attributes (µWh) over `voltage_min_design` (µV). An entry that cannot be
//                        derived is left out.
class PowerSupplyBatteryClass final : public PowerSupplyServiceClass {
public:
    using PowerSupplyServiceClass::PowerSupplyServiceClass;

    [[nodiscard]] std::optional<RegistryValue> property(
        const std::string& device, std::string_view name) const override;
    [[nodiscard]] Verdict classify(const std::string& device) const override;
};

// Pure parts, tested on literal text.
namespace powersupply {

// `present`: "1" installed, "0" not; anything else has no answer.
[[nodiscard]] std::optional<bool> parsePresent(std::string_view text);

// Whether `type` and `scope` (absent when the file is missing) describe the system's battery.
[[nodiscard]] bool isSystemBattery(std::string_view type, const std::optional<std::string>& scope);

// µAh to mAh, rounded to the nearest; absent below zero.
[[nodiscard]] std::optional<std::int64_t> chargeMilliampHours(std::int64_t microampHours);

// µWh over µV to mAh, rounded to the nearest; absent below zero, for a voltage of 0 or below, or
// when the energy is too large to be a battery's.
[[nodiscard]] std::optional<std::int64_t> energyMilliampHours(std::int64_t microwattHours, std::int64_t microvolts);

} // namespace powersupply

} // namespace quorvantile
