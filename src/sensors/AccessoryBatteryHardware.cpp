#include "sensors/AccessoryBatteryHardware.h"

#include "common/Numbers.h"
#include "sensors/SystemRegistry.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorvantile::AccessoryBatteryHardware {
namespace {

// The charge from "BatteryPercent": a number (never a Boolean) whose decimal text is a whole number
// within 0 … 100. Fractions, text and out-of-range values leave the percent absent.
std::optional<std::int64_t> percentFrom(const RegistryValue& batteryPercent)
{
    if (std::holds_alternative<bool>(batteryPercent)) {
        return std::nullopt;
    }
    const auto decimal = numberText(batteryPercent);
    if (!decimal) {
        return std::nullopt;
    }
    const auto percent = text::parseDecimal<std::int64_t>(*decimal, text::Sign::allowed);
    if (!percent || *percent < 0 || *percent > kMaximumAccessoryPercent) {
        return std::nullopt;
    }
    return percent;
}

std::optional<AccessoryBatteryReading::Transport> transportFrom(const std::optional<RegistryValue>& value)
{
    const auto* text = value ? std::get_if<std::string>(&*value) : nullptr;
    return text != nullptr ? json::enumFromText<AccessoryBatteryReading::Transport>(*text) : std::nullopt;
}

} // namespace

Result<AccessoryBatterySnapshot> snapshot(Registry& registry, const Clock& clock)
{
    std::unique_ptr<RegistryIterator> services = registry.matchingServices(kServiceClassName);
    if (!services) {
        return Failure {"the accessory services cannot be listed"};
    }

    std::vector<AccessoryBatteryReading> readings;
    readings.reserve(kMaximumAccessoryReadings);
    std::set<std::uint64_t> seenIDs;
    bool incomplete = false;

    for (std::size_t examined = 0;; ++examined) {
        const std::unique_ptr<RegistryEntry> service = services->next();
        if (!service) {
            break;
        }
        if (examined == kMaximumServicesExamined) {
            incomplete = true;
            break;
        }

        // Without a battery or a known transport the service is not an accessory of ours.
        const auto batteryPercent = service->property("BatteryPercent");
        if (!batteryPercent) {
            continue;
        }
        const auto transport = transportFrom(service->property("Transport"));
        if (!transport) {
            continue;
        }
        const auto product = service->property("Product");
        const auto* name = product ? std::get_if<std::string>(&*product) : nullptr;
        if (name == nullptr) {
            incomplete = true;
            continue;
        }

        // An id we cannot trust would let two accessories pass for one, or one for two.
        const auto registryID = service->registryEntryID();
        if (!registryID || *registryID == 0 || !seenIDs.insert(*registryID).second) {
            return Failure {"an accessory's registry id is unreadable, 0 or repeated"};
        }

        AccessoryBatteryReading reading {*registryID, *name, *transport, percentFrom(*batteryPercent)};
        if (!reading.isValid()) {
            incomplete = true;
            continue;
        }
        if (readings.size() == kMaximumAccessoryReadings) {
            incomplete = true;
            break;
        }
        readings.push_back(std::move(reading));
    }

    if (!services->isValid()) {
        return Failure {"the accessory walk changed during the read"};
    }
    std::vector<std::string> notes;
    for (RegistryNote& note : services->notes()) {
        incomplete = incomplete || note.servicesMissing;
        notes.push_back(std::move(note.reason));
    }
    const double uptime = clock.uptime();
    std::sort(readings.begin(), readings.end(),
        [](const auto& left, const auto& right) { return left.registryID < right.registryID; });
    const double now = clock.uptime();
    AccessoryBatterySnapshot result {kSnapshotVersion, uptime, incomplete, std::move(readings)};
    services.reset();
    if (!result.isValid(now)) {
        return Failure {"the accessory snapshot failed its own check (stale after 2.0 s)"};
    }
    return {std::move(result), std::move(notes)};
}

Result<AccessoryBatterySnapshot> snapshot(const SystemRoots& roots, double deadline)
{
    const std::unique_ptr<Registry> registry = systemRegistry(roots, deadline, systemClock());
    return snapshot(*registry, systemClock());
}

} // namespace quorvantile::AccessoryBatteryHardware
