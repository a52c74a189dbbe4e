#include "sensors/linux/PowerSupplyBatteryClass.h"

#include "sensors/linux/Sysfs.h"

#include <fcntl.h>

#include <limits>
#include <utility>

namespace quorvantile {
namespace powersupply {

std::optional<bool> parsePresent(std::string_view text)
{
    const auto value = sysfs::parseInteger(text);
    if (value == 1) {
        return true;
    }
    if (value == 0) {
        return false;
    }
    return std::nullopt;
}

bool isSystemBattery(std::string_view type, const std::optional<std::string>& scope)
{
    return type == "Battery" && scope != "Device";
}

std::optional<std::int64_t> chargeMilliampHours(std::int64_t microampHours)
{
    if (microampHours < 0) {
        return std::nullopt;
    }
    return microampHours / 1000 + (microampHours % 1000 >= 500 ? 1 : 0);
}

std::optional<std::int64_t> energyMilliampHours(std::int64_t microwattHours, std::int64_t microvolts)
{
    if (microwattHours < 0 || microvolts <= 0) {
        return std::nullopt;
    }
    // µWh / µV is Ah; × 1000 is mAh. Multiply first to keep the precision.
    constexpr std::int64_t kLargestScalable = (std::numeric_limits<std::int64_t>::max() - 1) / 1000 / 2;
    if (microwattHours > kLargestScalable) {
        return std::nullopt; // millions of kWh: no battery, and the sum below must not overflow
    }
    return (microwattHours * 1000 + microvolts / 2) / microvolts;
}

} // namespace powersupply

namespace {

std::optional<std::int64_t> readInteger(const std::string& device, const char* attribute)
{
    const auto text = sysfs::readAttribute(AT_FDCWD, device + "/" + attribute);
    return text ? sysfs::parseInteger(*text) : std::nullopt;
}

std::optional<RegistryValue> batteryInstalled(const std::string& device)
{
    const std::string path = device + "/present";
    if (const auto text = sysfs::readAttribute(AT_FDCWD, path)) {
        if (const auto present = powersupply::parsePresent(*text)) {
            return RegistryValue(*present);
        }
        return std::nullopt;
    }
    // Drivers for batteries that cannot be removed often have no `present` at all.
    if (!sysfs::exists(path)) {
        return RegistryValue(true);
    }
    return std::nullopt;
}

RegistryValue batteryData(const std::string& device)
{
    RegistryDictionary data;
    std::optional<std::optional<std::int64_t>> voltage; // read at most once, only when needed
    const auto fromEnergy = [&](const char* energyAttribute) -> std::optional<std::int64_t> {
        const auto energy = readInteger(device, energyAttribute);
        if (!energy) {
            return std::nullopt;
        }
        if (!voltage) {
            voltage = readInteger(device, "voltage_min_design");
        }
        return *voltage ? powersupply::energyMilliampHours(*energy, **voltage) : std::nullopt;
    };
    const auto capacity = [&](const char* chargeAttribute, const char* energyAttribute) {
        if (const auto charge = readInteger(device, chargeAttribute)) {
            return powersupply::chargeMilliampHours(*charge);
        }
        return fromEnergy(energyAttribute);
    };
    if (const auto design = capacity("charge_full_design", "energy_full_design")) {
        data.emplace("DesignCapacity", *design);
    }
    if (const auto full = capacity("charge_full", "energy_full")) {
        data.emplace("NominalChargeCapacity", *full);
    }
    return data;
}

} // namespace

SysfsServiceClass::Verdict PowerSupplyBatteryClass::classify(const std::string& device) const
{
    const auto type = sysfs::readKnownAttribute(device + "/type");
    if (type.text != "Battery") {
        return {false, type.known}; // decided without reading the scope
    }
    const auto scope = sysfs::readKnownAttribute(device + "/scope");
    return {powersupply::isSystemBattery(*type.text, scope.text), scope.known};
}

std::optional<RegistryValue> PowerSupplyBatteryClass::property(const std::string& device, std::string_view name) const
{
    if (name == "BatteryInstalled") {
        return batteryInstalled(device);
    }
    if (name == "BatteryData") {
        return batteryData(device);
    }
    return std::nullopt;
}

} // namespace quorvantile
