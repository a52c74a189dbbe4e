#include "sensors/linux/HwmonSmc.h"

#include "sensors/linux/PowerSupplyBatteryClass.h"
#include "sensors/linux/Sysfs.h"

#include <fcntl.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

namespace quorvantile {
namespace hwmonsmc {

bool isSmcKey(std::string_view label)
{
    return label.size() == 4 && std::all_of(label.begin(), label.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::optional<unsigned> attributeIndex(std::string_view name, std::string_view prefix, std::string_view suffix)
{
    if (!name.starts_with(prefix) || !name.ends_with(suffix) || name.size() <= prefix.size() + suffix.size()) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    unsigned index = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9' || index > 1'000'000) {
            return std::nullopt;
        }
        index = index * 10 + static_cast<unsigned>(c - '0');
    }
    return index;
}

std::size_t typeBytes(std::string_view type)
{
    if (type == "ui8 ") {
        return 1;
    }
    if (type == "sp78" || type == "fpe2") {
        return 2;
    }
    if (type == "flt ") {
        return 4;
    }
    return 0;
}

std::optional<double> sourceValue(SmcValueSource source, std::string_view text)
{
    const auto integer = sysfs::parseInteger(text);
    if (!integer) {
        return std::nullopt;
    }
    const auto value = static_cast<double>(*integer);
    switch (source) {
    case SmcValueSource::constant:
    case SmcValueSource::rpm:
        return value;
    case SmcValueSource::millidegrees:
        return value / 1000.0;
    case SmcValueSource::tenthsOfDegree:
        return value / 10.0;
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> encode(std::string_view type, double value)
{
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    // Fixed-point types hold value × scale, rounded to the nearest step.
    const auto fixedPoint = [&](double scale, double lowest, double highest) -> std::optional<std::int64_t> {
        const double scaled = std::round(value * scale);
        if (scaled < lowest || scaled > highest) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(scaled);
    };
    if (type == "ui8 ") {
        const auto raw = fixedPoint(1, 0, 255);
        return raw ? std::optional(std::vector<std::uint8_t> {static_cast<std::uint8_t>(*raw)}) : std::nullopt;
    }
    if (type == "sp78") {
        const auto raw = fixedPoint(256, -32768, 32767);
        if (!raw) {
            return std::nullopt;
        }
        const auto bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(*raw));
        return std::vector<std::uint8_t> {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
    }
    if (type == "fpe2") {
        const auto raw = fixedPoint(4, 0, 65535);
        if (!raw) {
            return std::nullopt;
        }
        return std::vector<std::uint8_t> {static_cast<std::uint8_t>(*raw >> 8), static_cast<std::uint8_t>(*raw)};
    }
    if (type == "flt ") {
        if (std::abs(value) > std::numeric_limits<float>::max()) {
            return std::nullopt;
        }
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
        return std::vector<std::uint8_t> {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
            static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    }
    return std::nullopt;
}

} // namespace hwmonsmc

namespace {

// Fan keys are one digit wide: F0Ac … F9Ac.
constexpr unsigned kMaximumAppleFans = 10;
// Fans the generic mapping reports.
constexpr std::size_t kMaximumGenericFans = 2;
constexpr std::int64_t kMaximumFanCountValue = 255; // what "ui8 " holds

// "F0Ac" … "F9Ac": the speed key of fan `index`, which is below kMaximumAppleFans.
std::string fanKey(unsigned index)
{
    std::string key = "F0Ac";
    key[1] = static_cast<char>('0' + index);
    return key;
}

// One hwmon chip: its name and the folder its attributes sit in.
struct Chip {
    std::string name;
    std::string directory;
    std::vector<std::string> attributes;
};

// Newer drivers put `name` and the attributes in hwmon<N>/ itself; older ones (applesmc among them)
// in hwmon<N>/device/.
std::vector<Chip> listChips(const std::optional<std::vector<sysfs::ClassDevice>>& devices)
{
    std::vector<Chip> chips;
    if (!devices) {
        return chips;
    }
    for (const sysfs::ClassDevice& device : *devices) {
        std::optional<std::string> directory = device.path;
        auto name = sysfs::readAttribute(AT_FDCWD, device.path + "/name");
        if (!name && !sysfs::exists(device.path + "/name")) {
            directory = sysfs::resolveLink(device.path, "device");
            name = directory ? sysfs::readAttribute(AT_FDCWD, *directory + "/name") : std::nullopt;
        }
        auto attributes = name ? sysfs::listDirectory(*directory) : std::nullopt;
        if (name && attributes) {
            chips.push_back({std::move(*name), std::move(*directory), std::move(*attributes)});
        }
    }
    return chips;
}

SmcKeyTable appleKeys(const Chip& chip)
{
    SmcKeyTable table {chip.directory, {}};
    std::int64_t fans = 0;
    for (const std::string& attribute : chip.attributes) {
        const auto fan = hwmonsmc::attributeIndex(attribute, "fan", "_input");
        if (!fan || *fan == 0) {
            continue;
        }
        ++fans;
        if (*fan <= kMaximumAppleFans) {
            table.keys.push_back({fanKey(*fan - 1), "fpe2", SmcValueSource::rpm, chip.directory + "/" + attribute, 0});
        }
    }
    table.keys.push_back({"FNum", "ui8 ", SmcValueSource::constant, {}, std::min(fans, kMaximumFanCountValue)});
    for (const std::string& attribute : chip.attributes) {
        const auto index = hwmonsmc::attributeIndex(attribute, "temp", "_label");
        if (!index) {
            continue;
        }
        const std::string input = "temp" + std::to_string(*index) + "_input";
        if (!std::binary_search(chip.attributes.begin(), chip.attributes.end(), input, sysfs::naturalLess)) {
            continue;
        }
        const auto label = sysfs::readAttribute(AT_FDCWD, chip.directory + "/" + attribute);
        const bool known = label &&
            std::any_of(table.keys.begin(), table.keys.end(), [&](const SmcKey& key) { return key.key == *label; });
        if (label && hwmonsmc::isSmcKey(*label) && !known) {
            table.keys.push_back({*label, "sp78", SmcValueSource::millidegrees, chip.directory + "/" + input, 0});
        }
    }
    return table;
}

// The internal battery's temperature file: the first system battery that has one.
std::optional<std::pair<std::string, std::string>> batteryTemperature(
    const std::optional<std::vector<sysfs::ClassDevice>>& supplies)
{
    if (!supplies) {
        return std::nullopt;
    }
    for (const sysfs::ClassDevice& supply : *supplies) {
        const std::string temperature = supply.path + "/temp";
        if (!sysfs::exists(temperature)) {
            continue; // most batteries have none: decided without opening anything
        }
        const auto type = sysfs::readAttribute(AT_FDCWD, supply.path + "/type");
        if (type == "Battery" &&
            powersupply::isSystemBattery(*type, sysfs::readAttribute(AT_FDCWD, supply.path + "/scope"))) {
            return std::pair(supply.path, temperature);
        }
    }
    return std::nullopt;
}

std::optional<SmcKeyTable> genericKeys(
    const std::vector<Chip>& chips, const std::optional<std::vector<sysfs::ClassDevice>>& supplies)
{
    SmcKeyTable table;
    std::int64_t fans = 0;
    for (const Chip& chip : chips) {
        for (const std::string& attribute : chip.attributes) {
            if (static_cast<std::size_t>(fans) == kMaximumGenericFans) {
                break;
            }
            if (hwmonsmc::attributeIndex(attribute, "fan", "_input")) {
                if (table.devicePath.empty()) {
                    table.devicePath = chip.directory;
                }
                table.keys.push_back({fanKey(static_cast<unsigned>(fans)), "flt ", SmcValueSource::rpm,
                    chip.directory + "/" + attribute, 0});
                ++fans;
            }
        }
    }
    const auto battery = batteryTemperature(supplies);
    if (battery) {
        if (table.devicePath.empty()) {
            table.devicePath = battery->first;
        }
        table.keys.push_back({"TB1T", "sp78", SmcValueSource::tenthsOfDegree, battery->second, 0});
    }
    if (table.keys.empty()) {
        return std::nullopt;
    }
    table.keys.push_back({"FNum", "ui8 ", SmcValueSource::constant, {}, fans});
    return table;
}

class HwmonSmcConnection final : public SmcConnection {
public:
    explicit HwmonSmcConnection(SmcKeyTable table) : table_(std::move(table)) { }

    [[nodiscard]] std::int32_t callStructMethod(std::uint32_t selector, std::span<const std::uint8_t> input,
        std::span<std::uint8_t> output, std::size_t& outputLength) override
    {
        if (selector != kSmcSelector || input.size() != kSmcBlockBytes || outputLength != kSmcBlockBytes ||
            output.size() < kSmcBlockBytes) {
            return kSmcStatusBadArgument;
        }
        const auto block = output.first(kSmcBlockBytes);
        std::fill(block.begin(), block.end(), std::uint8_t {0});
        block[kSmcResultOffset] = answer(input, block);
        outputLength = kSmcBlockBytes;
        return 0;
    }

private:
    std::uint8_t answer(std::span<const std::uint8_t> input, std::span<std::uint8_t> block) const
    {
        const std::string key = smc::codeText(smc::little32(input, kSmcKeyOffset).value_or(0));
        const auto found =
            std::find_if(table_.keys.begin(), table_.keys.end(), [&](const SmcKey& entry) { return entry.key == key; });
        if (found == table_.keys.end()) {
            return kSmcResultKeyNotFound;
        }
        const std::size_t size = hwmonsmc::typeBytes(found->type);
        if (input[kSmcCommandOffset] == kSmcReadKeyInformation) {
            smc::putLittle32(block, kSmcDataSizeOffset, static_cast<std::uint32_t>(size));
            smc::putLittle32(block, kSmcDataTypeOffset, smc::packedCode(found->type));
            return kSmcResultSuccess;
        }
        if (input[kSmcCommandOffset] != kSmcReadKeyBytes || smc::little32(input, kSmcDataSizeOffset) != size) {
            return kSmcResultError; // only reads exist here, and only of the key's own size
        }
        std::optional<double> value;
        if (found->source == SmcValueSource::constant) {
            value = static_cast<double>(found->constant);
        } else if (const auto text = sysfs::readAttribute(AT_FDCWD, found->path)) {
            value = hwmonsmc::sourceValue(found->source, *text);
        }
        const auto bytes = value ? hwmonsmc::encode(found->type, *value) : std::nullopt;
        if (!bytes) {
            return kSmcResultError;
        }
        smc::putLittle32(block, kSmcDataSizeOffset, static_cast<std::uint32_t>(size));
        std::copy(bytes->begin(), bytes->end(), block.begin() + kSmcBytesOffset);
        return kSmcResultSuccess;
    }

    SmcKeyTable table_;
};

class HwmonSmcService final : public SmcService {
public:
    explicit HwmonSmcService(SmcKeyTable table) : table_(std::move(table)) { }

    [[nodiscard]] std::optional<std::uint64_t> registryEntryID() const override
    {
        return sysfs::entryID(table_.devicePath);
    }

    [[nodiscard]] std::unique_ptr<SmcConnection> open() override
    {
        return std::make_unique<HwmonSmcConnection>(table_);
    }

private:
    SmcKeyTable table_;
};

} // namespace

SmcDiscovery discoverSmcKeys(const std::string& sysfsRoot)
{
    SmcDiscovery found;
    found.hwmon = sysfs::listClass(sysfsRoot, "hwmon");
    const std::vector<Chip> chips = listChips(found.hwmon);
    const auto apple =
        std::find_if(chips.begin(), chips.end(), [](const Chip& chip) { return chip.name == "applesmc"; });
    found.appleChip = apple != chips.end();
    if (found.appleChip) {
        found.table = appleKeys(*apple);
    } else {
        found.supplies = sysfs::listClass(sysfsRoot, "power_supply");
        found.table = genericKeys(chips, found.supplies);
    }
    return found;
}

bool stillListed(const std::string& sysfsRoot, const SmcDiscovery& discovery)
{
    const auto same = [&](std::string_view className, const std::optional<std::vector<sysfs::ClassDevice>>& devices) {
        const auto entries = sysfs::listClassEntries(sysfsRoot, className);
        return entries && devices && sysfs::sameEntries(*entries, *devices);
    };
    // The batteries matter only where no applesmc chip gives the keys.
    return same("hwmon", discovery.hwmon) && (discovery.appleChip || same("power_supply", discovery.supplies));
}

HwmonSmc::HwmonSmc(std::string sysfsRoot) : root_(std::move(sysfsRoot)) { }

std::unique_ptr<SmcService> HwmonSmc::matchingService()
{
    if (!last_ || !stillListed(root_, *last_)) {
        last_ = discoverSmcKeys(root_);
    }
    if (!last_->table) {
        return nullptr;
    }
    return std::make_unique<HwmonSmcService>(*last_->table);
}

std::unique_ptr<Smc> systemSmc(const std::string& sysfsRoot) { return std::make_unique<HwmonSmc>(sysfsRoot); }

} // namespace quorvantile
