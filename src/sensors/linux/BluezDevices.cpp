#include "sensors/linux/BluezDevices.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <iterator>

namespace quorvantile::bluez {
namespace {

// The Bluetooth base UUID around a 16-bit value: "0000xxxx" then this.
constexpr std::string_view kBaseUuidSuffix = "-0000-1000-8000-00805f9b34fb";
// BR/EDR service classes of the SDP assigned numbers; 0x1800 and above are GATT services.
constexpr std::uint32_t kFirstBrEdrServiceClass = 0x1000;
constexpr std::uint32_t kFirstGattService = 0x1800;

constexpr std::array kDeviceProperties {"Address", "AddressType", "Alias", "Name", "UUIDs"};

bool equalIgnoringCase(std::string_view left, std::string_view right)
{
    return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

std::string upperCase(std::string_view text)
{
    std::string result(text);
    std::ranges::transform(
        result, result.begin(), [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return result;
}

bool isBrEdrServiceClass(std::string_view uuid)
{
    if (uuid.size() != 8 + kBaseUuidSuffix.size() || !uuid.starts_with("0000") ||
        !equalIgnoringCase(uuid.substr(8), kBaseUuidSuffix)) {
        return false;
    }
    std::uint32_t value = 0;
    const std::string_view digits = uuid.substr(4, 4);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    return error == std::errc {} && end == digits.data() + digits.size() && value >= kFirstBrEdrServiceClass &&
        value < kFirstGattService;
}

const BusValue* find(const BusProperties& properties, std::string_view name)
{
    const auto found = properties.find(name);
    return found == properties.end() ? nullptr : &found->second;
}

// A property that may be missing but, when present, must have the type `T`.
template<typename T> bool absentOr(const BusProperties& properties, std::string_view name)
{
    const BusValue* value = find(properties, name);
    return value == nullptr || std::holds_alternative<T>(*value);
}

const std::string* text(const BusProperties& properties, std::string_view name)
{
    const BusValue* value = find(properties, name);
    return value != nullptr ? std::get_if<std::string>(value) : nullptr;
}

} // namespace

bool isUsedProperty(std::string_view interface, std::string_view name)
{
    if (interface == kBatteryInterface) {
        return name == "Percentage";
    }
    return interface == kDeviceInterface && std::ranges::find(kDeviceProperties, name) != kDeviceProperties.end();
}

bool isLowEnergyOnly(const BusProperties& device)
{
    const std::string* addressType = text(device, "AddressType");
    if (addressType != nullptr && *addressType == "random") {
        return true;
    }
    const BusValue* value = find(device, "UUIDs");
    const auto* uuids = value != nullptr ? std::get_if<std::vector<std::string>>(value) : nullptr;
    return uuids != nullptr && !uuids->empty() && std::ranges::none_of(*uuids, isBrEdrServiceClass);
}

std::optional<BluezBattery> describe(const BluezObject& object)
{
    if (!object.device || !object.battery) {
        return std::nullopt;
    }
    const BusProperties& device = *object.device;
    const BusValue* percentage = find(*object.battery, "Percentage");
    const auto* percent = percentage != nullptr ? std::get_if<std::uint8_t>(percentage) : nullptr;
    if (percent == nullptr || *percent > kMaximumAccessoryPercent) {
        return std::nullopt;
    }
    const bool typed = absentOr<std::string>(device, "Address") && absentOr<std::string>(device, "AddressType") &&
        absentOr<std::string>(device, "Alias") && absentOr<std::string>(device, "Name") &&
        absentOr<std::vector<std::string>>(device, "UUIDs");
    if (!typed) {
        return std::nullopt;
    }

    BluezBattery battery;
    battery.path = object.path;
    if (const std::string* address = text(device, "Address")) {
        battery.address = *address;
    }
    for (const char* name : {"Alias", "Name"}) {
        const std::string* product = text(device, name);
        if (product != nullptr && !product->empty()) {
            battery.product = *product;
            break;
        }
    }
    battery.transport = isLowEnergyOnly(device) ? AccessoryBatteryReading::Transport::bluetoothLowEnergy
                                                : AccessoryBatteryReading::Transport::bluetooth;
    battery.percent = *percent;
    return battery;
}

std::optional<std::string> hidBatteryAddress(std::string_view supplyName)
{
    constexpr std::string_view prefix = "hid-";
    constexpr std::string_view suffix = "-battery";
    constexpr std::size_t addressLength = 17; // six pairs of hexadecimal digits and five colons
    if (supplyName.size() != prefix.size() + addressLength + suffix.size() || !supplyName.starts_with(prefix) ||
        !supplyName.ends_with(suffix)) {
        return std::nullopt;
    }
    const std::string_view address = supplyName.substr(prefix.size(), addressLength);
    for (std::size_t index = 0; index < address.size(); ++index) {
        const bool valid =
            index % 3 == 2 ? address[index] == ':' : std::isxdigit(static_cast<unsigned char>(address[index])) != 0;
        if (!valid) {
            return std::nullopt;
        }
    }
    return upperCase(address);
}

void BluezDevices::add(const BluezObject& object)
{
    if (object.device) {
        deviceObjects_.insert(object.path);
    }
    if (object.battery) {
        batteryObjects_.insert(object.path);
    }
    if (!object.device || !object.battery) {
        return;
    }
    auto battery = describe(object);
    if (!battery) {
        ++malformed_;
        return;
    }
    if (battery->address && listed_.contains(upperCase(*battery->address))) {
        return; // listed from power_supply already
    }
    if (batteries_.size() < kMaximumBatteries) {
        batteries_.push_back(std::move(*battery));
    }
}

std::set<std::string> BluezDevices::withBoth() const
{
    std::set<std::string> both;
    std::ranges::set_intersection(deviceObjects_, batteryObjects_, std::inserter(both, both.end()));
    return both;
}

void BluezDevices::freezeReply()
{
    if (!replyWithBoth_) {
        replyWithBoth_ = withBoth();
    }
}

void BluezDevices::interfacesAdded(const std::string& path, std::span<const std::string> interfaces)
{
    freezeReply();
    for (const std::string& interface : interfaces) {
        if (interface == kDeviceInterface) {
            deviceObjects_.insert(path);
        } else if (interface == kBatteryInterface) {
            batteryObjects_.insert(path);
        }
    }
}

void BluezDevices::interfacesRemoved(const std::string& path, std::span<const std::string> interfaces)
{
    freezeReply();
    for (const std::string& interface : interfaces) {
        if (interface == kDeviceInterface) {
            deviceObjects_.erase(path);
        } else if (interface == kBatteryInterface) {
            batteryObjects_.erase(path);
        }
    }
}

bool BluezDevices::changed() const { return replyWithBoth_ && withBoth() != *replyWithBoth_; }

} // namespace quorvantile::bluez
