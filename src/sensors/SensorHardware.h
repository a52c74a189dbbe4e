#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "common/Result.h"
#include "sensors/BatteryCapacity.h"
#include "sensors/ProcessorBrand.h"
#include "sensors/Registry.h"
#include "sensors/SensorSnapshot.h"
#include "sensors/Smc.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

// The sensor snapshot reader and the SMC operations under it. Every operation only reads: the
// exchange accepts nothing but the allowed keys and the two read commands.
namespace quorvantile::SensorHardware {

// The fan count and the keys a snapshot may hold; the exchange refuses every other key.
inline constexpr std::array<std::string_view, 7> kAllowedSmcKeys = {
    "FNum", "F0Ac", "F1Ac", "TB1T", "Tp01", "Tp09", "Tg05"};

struct SmcExchange {
    std::int32_t status = 0;
    std::int64_t outputLength = 0;
    std::array<std::uint8_t, kSmcBlockBytes> output {};
};

// A key's UTF-8 bytes folded into 32 bits, first byte most significant ("FNum" is 0x464E756D).
using smc::packedCode;

// One parameter-block exchange. A key outside the allowed list, a command other than the two reads
// or a size above 32 makes no call and answers kSmcStatusBadArgument.
[[nodiscard]] SmcExchange exchange(
    SmcConnection& connection, std::string_view key, std::uint8_t command, std::uint32_t size);

// The unsigned 32-bit little-endian integer at `offset`; absent when the four bytes are not all
// within `bytes`.
using smc::little32;

// The value of `data` as SMC type `type`, if the type and byte count are understood, the result is
// finite, and `key` accepts that type and value.
[[nodiscard]] std::optional<double> number(
    std::span<const std::uint8_t> data, std::string_view type, std::string_view key);

// A key's checked value: its key information, then its bytes, then number().
[[nodiscard]] std::optional<double> read(SmcConnection& connection, std::string_view key);

// The internal battery's capacities, when exactly one battery is installed among at most 16
// services, its capacities are plausible, and the registry did not change during the walk.
[[nodiscard]] std::optional<BatteryCapacity> batteryCapacity(Registry& registry);

// A snapshot that survived its own JSON round trip and validity check, or the reason there is none.
[[nodiscard]] Result<SensorSnapshot> snapshot(Smc& smc, Registry& registry, ProcessorBrand& brand, const Clock& clock);
// The same over the system's ports below `roots` and the system uptime clock.
[[nodiscard]] Result<SensorSnapshot> snapshot(const SystemRoots& roots = {});

// The system's ports below `roots`, kept from one snapshot to the next, so that what does not change
// while a server runs (the processor brand; the SMC's key sources and which supplies are batteries,
// while the same devices are registered) is found once. For one thread.
class SystemSensors {
public:
    explicit SystemSensors(const SystemRoots& roots);
    [[nodiscard]] Result<SensorSnapshot> snapshot();

private:
    std::unique_ptr<Smc> smc_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<ProcessorBrand> brand_;
};

} // namespace quorvantile::SensorHardware
