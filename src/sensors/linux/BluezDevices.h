#pragma once

#include "common/Text.h"
#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/AccessoryBatteryReading.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// What BlueZ's object list says about devices with a battery, apart from the bus that carries it:
// the bus client reads the reply into these objects, and everything decided about them is here.
namespace quorvantile::bluez {

inline constexpr std::string_view kDeviceInterface = "org.bluez.Device1";
inline constexpr std::string_view kBatteryInterface = "org.bluez.Battery1";

// Devices kept from one reply: one more than the walk examines, so that the walk sees the bound
// reached (and marks its snapshot incomplete) however few power_supply services come first.
inline constexpr std::size_t kMaximumBatteries = AccessoryBatteryHardware::kMaximumServicesExamined + 1;
// A name is kept up to one byte past the longest valid one: enough for the reader to refuse it.
inline constexpr std::size_t kMaximumTextBytes = text::kMaximumNameBytes + 1;
// UUIDs kept of one device; its profiles are decided on these.
inline constexpr std::size_t kMaximumUuids = 256;

// A property as read: the D-Bus types BlueZ gives the properties used here (byte, string, string
// array). Any other type is kept as OtherType, so a property of the wrong type is told from a
// missing one.
struct OtherType {
    bool operator==(const OtherType&) const = default;
};
using BusValue = std::variant<OtherType, std::uint8_t, std::string, std::vector<std::string>>;
using BusProperties = std::map<std::string, BusValue, std::less<>>;

// Whether the reader keeps a property of one of the two interfaces; others are skipped unread.
[[nodiscard]] bool isUsedProperty(std::string_view interface, std::string_view name);

// One object of the reply, with the two interfaces that matter when it has them.
struct BluezObject {
    std::string path;
    std::optional<BusProperties> device; // org.bluez.Device1
    std::optional<BusProperties> battery; // org.bluez.Battery1
};

// A device with a battery, as the registry lists it.
struct BluezBattery {
    std::string path;
    std::optional<std::string> address; // Device1.Address, as BlueZ writes it ("00:1F:20:3C:9E:41")
    std::optional<std::string> product; // Alias, else Name; absent when neither is a non-empty text
    AccessoryBatteryReading::Transport transport = AccessoryBatteryReading::Transport::bluetooth;
    std::int64_t percent = 0;

    bool operator==(const BluezBattery&) const = default;
};

// A device BlueZ knows only over Low Energy: its address is random (only LE uses random addresses),
// or it lists UUIDs and none of them is a BR/EDR service class (0x1000 … 0x17FF in the Bluetooth
// base range; GATT services start at 0x1800). A public address without UUIDs tells nothing, and
// counts as Bluetooth.
[[nodiscard]] bool isLowEnergyOnly(const BusProperties& device);

// The battery of an object with both interfaces; absent when it has not both, or when what it says
// is malformed: Percentage missing, not a byte or above 100, or Alias, Name, Address, AddressType or
// UUIDs of another type than BlueZ gives them.
[[nodiscard]] std::optional<BluezBattery> describe(const BluezObject& object);

// The Bluetooth address in a HID battery's power_supply name, upper case as BlueZ writes it
// ("hid-00:1f:20:3c:9e:41-battery" → "00:1F:20:3C:9E:41"); absent for any other name.
[[nodiscard]] std::optional<std::string> hidBatteryAddress(std::string_view supplyName);

// The devices of one reply, and whether the set of devices with a battery changed after it.
class BluezDevices {
public:
    // `listedAddresses`: devices already listed from power_supply, which are not listed again.
    explicit BluezDevices(std::set<std::string> listedAddresses) : listed_(std::move(listedAddresses)) { }

    // One object of the reply, in reply order.
    void add(const BluezObject& object);

    // Changes announced after the reply (InterfacesAdded and InterfacesRemoved).
    void interfacesAdded(const std::string& path, std::span<const std::string> interfaces);
    void interfacesRemoved(const std::string& path, std::span<const std::string> interfaces);
    // True when an object gained or lost being a device with a battery since the reply.
    [[nodiscard]] bool changed() const;

    [[nodiscard]] const std::vector<BluezBattery>& batteries() const { return batteries_; }
    // Devices with a battery left out because what they say is malformed.
    [[nodiscard]] std::size_t malformed() const { return malformed_; }

private:
    [[nodiscard]] std::set<std::string> withBoth() const;
    void freezeReply();

    std::set<std::string> listed_;
    std::vector<BluezBattery> batteries_;
    std::size_t malformed_ = 0;
    // Objects with each interface, as the reply had them and then as announced.
    std::set<std::string> deviceObjects_;
    std::set<std::string> batteryObjects_;
    // The objects with both as the reply had them, taken at the first announcement.
    std::optional<std::set<std::string>> replyWithBoth_;
};

} // namespace quorvantile::bluez
