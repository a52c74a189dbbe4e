#include "common/Numbers.h"
#include "sensors/SensorHardware.h"
#include "sensors/SensorLimits.h"
#include "sensors/SystemRegistry.h"

#include <string>

namespace quorvantile::SensorHardware {
namespace {

template<typename Value> std::optional<std::uint64_t> capacityValue(const std::optional<Value>& value)
{
    if (!value) {
        return std::nullopt;
    }
    const auto text = numberText(*value); // Booleans, texts and dictionaries have none
    // A fraction, an exponent, a value below zero or above the 64-bit range gives nothing.
    return text ? text::parseDecimal<std::uint64_t>(*text, text::Sign::allowed) : std::nullopt;
}

// A capacity entry: in the battery's data dictionary if it has the key, else on the service itself.
std::optional<std::uint64_t> capacityEntry(
    const RegistryEntry& service, const RegistryDictionary* data, std::string_view name)
{
    if (data != nullptr) {
        if (const auto found = data->find(name); found != data->end()) {
            return capacityValue(std::optional<RegistryScalar>(found->second));
        }
    }
    return capacityValue(service.property(name));
}

std::optional<BatteryCapacity> installedBatteryCapacity(const RegistryEntry& service)
{
    const auto data = service.property("BatteryData");
    const auto* dictionary = data ? std::get_if<RegistryDictionary>(&*data) : nullptr;
    const auto design = capacityEntry(service, dictionary, "DesignCapacity");
    const auto fullCharge = capacityEntry(service, dictionary, "NominalChargeCapacity");
    if (!design || !fullCharge) {
        return std::nullopt;
    }
    const BatteryCapacity capacity {*design, *fullCharge};
    return capacity.isPlausible() ? std::optional(capacity) : std::nullopt;
}

} // namespace

std::optional<BatteryCapacity> batteryCapacity(Registry& registry)
{
    const std::unique_ptr<RegistryIterator> services = registry.matchingServices("AppleSmartBattery");
    if (!services) {
        return std::nullopt;
    }
    std::optional<BatteryCapacity> capacity;
    bool installedFound = false;
    for (std::size_t examined = 0;; ++examined) {
        const std::unique_ptr<RegistryEntry> service = services->next(); // released at the end of each pass
        if (!service) {
            break;
        }
        if (examined == kMaximumBatteryServicesExamined) {
            return std::nullopt;
        }
        const auto installed = service->property("BatteryInstalled");
        const bool* isInstalled = installed ? std::get_if<bool>(&*installed) : nullptr;
        if (isInstalled == nullptr) {
            return std::nullopt; // a service that cannot say whether it is installed spoils the walk
        }
        if (!*isInstalled) {
            continue;
        }
        if (installedFound) {
            return std::nullopt; // two installed batteries: no single capacity to report
        }
        installedFound = true;
        capacity = installedBatteryCapacity(*service);
    }
    if (!services->isValid() || !installedFound) {
        return std::nullopt;
    }
    return capacity;
}

} // namespace quorvantile::SensorHardware
