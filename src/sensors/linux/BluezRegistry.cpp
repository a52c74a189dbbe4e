#include "sensors/linux/BluezRegistry.h"

#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/linux/BluezClient.h"
#include "sensors/linux/Sysfs.h"

#include <set>
#include <utility>

namespace quorvantile {
namespace {

class BluezEntry final : public RegistryEntry {
public:
    explicit BluezEntry(bluez::BluezBattery battery) : battery_(std::move(battery)) { }

    [[nodiscard]] std::optional<std::uint64_t> registryEntryID() const override
    {
        return sysfs::entryID(battery_.path);
    }

    [[nodiscard]] std::optional<RegistryValue> property(std::string_view name) const override
    {
        if (name == "BatteryPercent") {
            return RegistryValue(battery_.percent);
        }
        if (name == "Product" && battery_.product) {
            return RegistryValue(*battery_.product);
        }
        if (name == "Transport") {
            const auto text = json::enumText(battery_.transport);
            return text ? std::optional(RegistryValue(std::string(*text))) : std::nullopt;
        }
        return std::nullopt;
    }

private:
    bluez::BluezBattery battery_;
};

// The power_supply services first, then BlueZ's.
class BluezWalk final : public RegistryIterator {
public:
    BluezWalk(std::unique_ptr<RegistryIterator> supplies, std::unique_ptr<BluezQuery> bluez)
        : supplies_(std::move(supplies)), bluez_(std::move(bluez))
    {
    }

    [[nodiscard]] std::unique_ptr<RegistryEntry> next() override
    {
        if (!suppliesDone_) {
            if (auto entry = supplies_->next()) {
                return entry;
            }
            suppliesDone_ = true;
        }
        const auto& batteries = bluez_->batteries();
        if (position_ < batteries.size()) {
            return std::make_unique<BluezEntry>(batteries[position_++]);
        }
        return nullptr;
    }

    [[nodiscard]] bool isValid() const override { return supplies_->isValid() && bluez_->unchanged(); }

    [[nodiscard]] std::vector<RegistryNote> notes() const override
    {
        auto notes = supplies_->notes();
        for (RegistryNote& note : bluez_->notes()) {
            notes.push_back(std::move(note));
        }
        return notes;
    }

private:
    std::unique_ptr<RegistryIterator> supplies_;
    std::unique_ptr<BluezQuery> bluez_;
    bool suppliesDone_ = false;
    std::size_t position_ = 0;
};

// The addresses of the Bluetooth HID batteries that power_supply lists; none when it cannot be read.
std::set<std::string> listedHidAddresses(const std::string& sysfsRoot)
{
    std::set<std::string> addresses;
    for (const sysfs::ClassDevice& device :
        sysfs::listClass(sysfsRoot, "power_supply").value_or(std::vector<sysfs::ClassDevice> {})) {
        if (auto address = bluez::hidBatteryAddress(device.name)) {
            addresses.insert(std::move(*address));
        }
    }
    return addresses;
}

} // namespace

BluezRegistry::BluezRegistry(std::unique_ptr<Registry> registry, std::string sysfsRoot, std::string busAddress,
    double deadline, const Clock& clock)
    : registry_(std::move(registry)), sysfsRoot_(std::move(sysfsRoot)), busAddress_(std::move(busAddress)),
      deadline_(deadline), clock_(clock)
{
}

std::unique_ptr<RegistryIterator> BluezRegistry::matchingServices(std::string_view className)
{
    if (className != AccessoryBatteryHardware::kServiceClassName) {
        return registry_->matchingServices(className);
    }
    // BlueZ is asked first and answers while power_supply is read.
    auto bluez = std::make_unique<BluezQuery>(busAddress_, listedHidAddresses(sysfsRoot_), deadline_, clock_);
    auto supplies = registry_->matchingServices(className);
    if (!supplies) {
        return nullptr;
    }
    return std::make_unique<BluezWalk>(std::move(supplies), std::move(bluez));
}

} // namespace quorvantile
