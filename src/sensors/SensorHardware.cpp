#include "sensors/SensorHardware.h"

#include "common/SnapshotHeader.h"
#include "common/Text.h"
#include "sensors/SensorLimits.h"
#include "sensors/SystemRegistry.h"

#include <string>
#include <string_view>
#include <vector>

namespace quorvantile::SensorHardware {
namespace {

// The brand string's length as the platform reports it: its bytes and the terminating zero.
constexpr std::size_t kMinimumBrandLengthBytes = 2;
constexpr std::size_t kMaximumBrandLengthBytes = kMaximumModelBytes + 1;

std::optional<std::string> brandString(ProcessorBrand& brand)
{
    std::size_t length = 0;
    if (brand.read({}, length) != 0 || length < kMinimumBrandLengthBytes || length > kMaximumBrandLengthBytes) {
        return std::nullopt;
    }
    std::vector<char> buffer(length, '\0');
    if (brand.read(buffer, length) != 0) {
        return std::nullopt;
    }
    const std::string_view bytes(buffer.data(), buffer.size());
    return text::decodeUtf8Lossy(bytes.substr(0, bytes.find('\0')));
}

} // namespace

Result<SensorSnapshot> snapshot(Smc& smc, Registry& registry, ProcessorBrand& brand, const Clock& clock)
{
    // Declared in this order so that the connection closes before the service is released.
    const std::unique_ptr<SmcService> service = smc.matchingService();
    if (!service) {
        return Failure {"no SMC service: no fan, temperature or battery temperature source"};
    }
    const auto registryID = service->registryEntryID();
    if (!registryID || *registryID == 0) {
        return Failure {"the SMC service has no registry id"};
    }
    const std::unique_ptr<SmcConnection> connection = service->open();
    if (!connection) {
        return Failure {"the SMC service cannot be opened"};
    }
    auto model = brandString(brand);
    if (!model) {
        return Failure {"no processor brand string of 1 to 128 bytes"};
    }

    const auto fanCount = read(*connection, "FNum");
    const bool skipFan0 = !fanCount || *fanCount < 1;
    const bool skipFan1 = !fanCount || *fanCount < 2;
    std::vector<SensorReading> readings;
    for (const std::string_view key : SensorSnapshot::keys(*model)) {
        if ((key == "F0Ac" && skipFan0) || (key == "F1Ac" && skipFan1)) {
            continue;
        }
        readings.push_back({std::string(key), unitForKey(key), read(*connection, key)});
    }

    // The freshness window starts here: it covers the battery walk and the round trip below.
    const double uptime = clock.uptime();
    SensorSnapshot built {1, uptime, *registryID, std::move(*model), std::move(readings), batteryCapacity(registry)};
    const auto encoded = json::encode(built);
    if (!encoded) {
        return Failure {"the snapshot cannot be written as JSON"};
    }
    const double now = clock.uptime();
    auto checked = SensorSnapshot::decode(*encoded, now);
    if (!checked) {
        return Failure {now - uptime > kMaximumSnapshotAgeSeconds
                ? "the snapshot took longer than 2.0 s"
                : "the snapshot failed its own check (a model, key, reading or capacity out of its rules)"};
    }
    return std::move(*checked);
}

Result<SensorSnapshot> snapshot(const SystemRoots& roots) { return SystemSensors(roots).snapshot(); }

SystemSensors::SystemSensors(const SystemRoots& roots)
    : smc_(systemSmc(roots.sysfs)), registry_(systemRegistry(roots.sysfs)), brand_(systemProcessorBrand(roots))
{
}

Result<SensorSnapshot> SystemSensors::snapshot()
{
    return SensorHardware::snapshot(*smc_, *registry_, *brand_, systemClock());
}

} // namespace quorvantile::SensorHardware
