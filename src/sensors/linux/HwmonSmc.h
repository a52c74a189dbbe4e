#pragma once

#include "sensors/Smc.h"
#include "sensors/linux/Sysfs.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The SMC user client on Linux, answering the parameter block from hwmon and power_supply.
//
// On an Intel Mac the `applesmc` chip gives the machine's real keys: fan<N>_input as "F<N-1>Ac"
// ("fpe2"), the number of fans as "FNum" ("ui8 "), and each temp<N>_input whose label is an SMC key
// as that key ("sp78"). Elsewhere the first two fans over all chips become "F0Ac" and "F1Ac"
// ("flt "), their number "FNum", and the internal battery's temperature "TB1T" ("sp78").
// Sources are found when the service is looked up (and kept while the same devices are listed);
// values are read when a key's bytes are asked for.
namespace quorvantile {

// Results the user client writes at the block's result offset.
inline constexpr std::uint8_t kSmcResultSuccess = 0x00;
inline constexpr std::uint8_t kSmcResultError = 0x01;
inline constexpr std::uint8_t kSmcResultKeyNotFound = 0x84;

// What a key's value is made from.
enum class SmcValueSource {
    constant, // `constant` itself (the fan count)
    rpm, // a fan speed file in revolutions per minute
    millidegrees, // an hwmon temperature file
    tenthsOfDegree, // a power_supply temperature file
};

struct SmcKey {
    std::string key; // four characters
    std::string type; // four characters: "ui8 ", "flt ", "sp78", "fpe2"
    SmcValueSource source = SmcValueSource::constant;
    std::string path; // the attribute file; empty for a constant
    std::int64_t constant = 0;
};

struct SmcKeyTable {
    std::string devicePath; // canonical path of the first source; its hash is the registry id
    std::vector<SmcKey> keys;
};

// Pure parts, tested on literal values.
namespace hwmonsmc {

// A label that is an SMC key: exactly four printable ASCII characters.
[[nodiscard]] bool isSmcKey(std::string_view label);

// The N of "<prefix><N><suffix>" ("fan2_input" with "fan" and "_input" is 2); absent otherwise.
[[nodiscard]] std::optional<unsigned> attributeIndex(
    std::string_view name, std::string_view prefix, std::string_view suffix);

// Bytes a type's value takes; 0 for a type the user client does not produce.
[[nodiscard]] std::size_t typeBytes(std::string_view type);

// An attribute's text as a value in the key's unit (rpm, °C); absent when it is not an integer.
[[nodiscard]] std::optional<double> sourceValue(SmcValueSource source, std::string_view text);

// A value written in an SMC type; absent when the type cannot hold it.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> encode(std::string_view type, double value);

} // namespace hwmonsmc

// A discovery of the key sources and the class listings it came from.
struct SmcDiscovery {
    std::optional<std::vector<sysfs::ClassDevice>> hwmon;
    std::optional<std::vector<sysfs::ClassDevice>> supplies; // listed only when no chip is applesmc
    bool appleChip = false;
    std::optional<SmcKeyTable> table; // absent: no fan, no applesmc chip and no battery temperature
};

// Finds the key sources under `sysfsRoot`.
[[nodiscard]] SmcDiscovery discoverSmcKeys(const std::string& sysfsRoot);

// Whether the classes under `sysfsRoot` still list the very entries `discovery` was found from. A
// chip's attributes and labels stay as its driver made them until it is registered anew, which
// makes a new entry; so while this holds, the discovery holds.
[[nodiscard]] bool stillListed(const std::string& sysfsRoot, const SmcDiscovery& discovery);

// Keeps its last discovery while it is still listed: one object serves every snapshot of a server.
class HwmonSmc final : public Smc {
public:
    explicit HwmonSmc(std::string sysfsRoot);
    [[nodiscard]] std::unique_ptr<SmcService> matchingService() override;

private:
    std::string root_;
    std::optional<SmcDiscovery> last_;
};

} // namespace quorvantile
