// What BlueZ's object list says about devices with a battery, on literal objects (no bus).
#include "sensors/linux/BluezDevices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvantile::bluez {
namespace {

using Transport = AccessoryBatteryReading::Transport;
using Texts = std::vector<std::string>;

constexpr const char* kHandsFree = "0000111e-0000-1000-8000-00805f9b34fb";
constexpr const char* kBatteryService = "0000180f-0000-1000-8000-00805f9b34fb";

BluezObject headset(std::string path = "/org/bluez/hci0/dev_00_1B_66_AA_BB_CC")
{
    return {std::move(path),
        BusProperties {{"Address", std::string("00:1B:66:AA:BB:CC")}, {"AddressType", std::string("public")},
            {"Alias", std::string("Headset")}, {"Name", std::string("HS-100")}, {"UUIDs", Texts {kHandsFree}}},
        BusProperties {{"Percentage", std::uint8_t {70}}}};
}

TEST(BluezTransport, LowEnergyOnlyByARandomAddressOrProfilesWithoutBrEdrServiceClasses)
{
    struct Case {
        const char* what;
        BusProperties device;
        bool lowEnergyOnly;
    };
    const std::vector<Case> cases {
        {"random address", {{"AddressType", std::string("random")}}, true},
        {"random address with a classic profile",
            {{"AddressType", std::string("random")}, {"UUIDs", Texts {kHandsFree}}}, true},
        {"hands-free and GATT battery",
            {{"AddressType", std::string("public")}, {"UUIDs", Texts {kHandsFree, kBatteryService}}}, false},
        {"GATT services only",
            {{"AddressType", std::string("public")},
                {"UUIDs", Texts {kBatteryService, "00001800-0000-1000-8000-00805F9B34FB"}}},
            true},
        {"a vendor UUID only", {{"UUIDs", Texts {"6e400001-b5a3-f393-e0a9-e50e24dcca9e"}}}, true},
        {"upper-case audio sink", {{"UUIDs", Texts {"0000110B-0000-1000-8000-00805F9B34FB"}}}, false},
        {"last service class 0x17ff", {{"UUIDs", Texts {"000017ff-0000-1000-8000-00805f9b34fb"}}}, false},
        {"first GATT service 0x1800", {{"UUIDs", Texts {"00001800-0000-1000-8000-00805f9b34fb"}}}, true},
        {"a protocol below 0x1000", {{"UUIDs", Texts {"00000100-0000-1000-8000-00805f9b34fb"}}}, true},
        {"a service class outside the base range", {{"UUIDs", Texts {"0000111e-0000-1000-8000-00805f9b34fc"}}}, true},
        {"public address without UUIDs", {{"AddressType", std::string("public")}}, false},
        {"an empty UUID list", {{"UUIDs", Texts {}}}, false},
        {"nothing known", {}, false},
    };
    for (const Case& item : cases) {
        EXPECT_EQ(isLowEnergyOnly(item.device), item.lowEnergyOnly) << item.what;
    }
}

TEST(BluezDescription, ReadsTheBatteryProductAndTransportOfADeviceWithBoth)
{
    EXPECT_EQ(describe(headset()),
        (BluezBattery {
            "/org/bluez/hci0/dev_00_1B_66_AA_BB_CC", "00:1B:66:AA:BB:CC", "Headset", Transport::bluetooth, 70}));

    // The product: Alias, else Name, else none (the reader then leaves the device out as unnamed).
    BluezObject object = headset();
    object.device->insert_or_assign("Alias", std::string());
    EXPECT_EQ(describe(object).value().product, "HS-100");
    object.device->erase("Alias");
    EXPECT_EQ(describe(object).value().product, "HS-100");
    object.device->erase("Name");
    EXPECT_EQ(describe(object).value().product, std::nullopt);

    object = headset();
    object.device->insert_or_assign("AddressType", std::string("random"));
    EXPECT_EQ(describe(object).value().transport, Transport::bluetoothLowEnergy);

    for (const std::uint8_t percent : {std::uint8_t {0}, std::uint8_t {100}}) {
        object.battery->insert_or_assign("Percentage", percent);
        EXPECT_EQ(describe(object).value().percent, percent);
    }
}

TEST(BluezDescription, LeavesOutAMalformedDeviceOrOneWithoutBothInterfaces)
{
    struct Case {
        const char* what;
        void (*change)(BluezObject&);
    };
    const std::vector<Case> cases {
        {"percentage above 100", [](BluezObject& o) { o.battery->insert_or_assign("Percentage", std::uint8_t {101}); }},
        {"percentage of another type", [](BluezObject& o) { o.battery->insert_or_assign("Percentage", OtherType {}); }},
        {"percentage as text", [](BluezObject& o) { o.battery->insert_or_assign("Percentage", std::string("70")); }},
        {"no percentage", [](BluezObject& o) { o.battery->erase("Percentage"); }},
        {"alias of another type", [](BluezObject& o) { o.device->insert_or_assign("Alias", OtherType {}); }},
        {"name as a list", [](BluezObject& o) { o.device->insert_or_assign("Name", Texts {"HS"}); }},
        {"address of another type", [](BluezObject& o) { o.device->insert_or_assign("Address", OtherType {}); }},
        {"address type of another type",
            [](BluezObject& o) { o.device->insert_or_assign("AddressType", OtherType {}); }},
        {"UUIDs as text", [](BluezObject& o) { o.device->insert_or_assign("UUIDs", std::string(kHandsFree)); }},
        {"no battery", [](BluezObject& o) { o.battery.reset(); }},
        {"no device", [](BluezObject& o) { o.device.reset(); }},
    };
    for (const Case& item : cases) {
        BluezObject object = headset();
        item.change(object);
        EXPECT_EQ(describe(object), std::nullopt) << item.what;
    }
}

TEST(BluezDescription, FindsTheAddressInAHidBatteryName)
{
    EXPECT_EQ(hidBatteryAddress("hid-00:1f:20:3c:9e:41-battery"), "00:1F:20:3C:9E:41");
    EXPECT_EQ(hidBatteryAddress("hid-E4:7D:BD:51:A0:2C-battery"), "E4:7D:BD:51:A0:2C");
    for (const char* name : {"hid-0018:04F3:2A34.0001-battery", "hid-00:1f:20:3c:9e:4-battery",
             "hid-00:1f:20:3c:9e:41x-battery", "hid-00-1f-20-3c-9e-41-battery", "hid-00:1f:20:3c:9e:4g-battery",
             "hidpp_battery_0", "hid-00:1f:20:3c:9e:41-batter", "xhid-00:1f:20:3c:9e:41-battery", ""}) {
        EXPECT_EQ(hidBatteryAddress(name), std::nullopt) << name;
    }
}

TEST(BluezDevicesOfAReply, ListsEachDeviceWithABatteryOnceAndCountsTheMalformed)
{
    BluezDevices devices({"E4:7D:BD:51:A0:2C"});
    BluezObject listed = headset("/org/bluez/hci0/dev_E4_7D_BD_51_A0_2C");
    listed.device->insert_or_assign("Address", std::string("e4:7d:bd:51:a0:2c")); // any case matches
    BluezObject malformed = headset("/org/bluez/hci0/dev_2");
    malformed.battery->insert_or_assign("Percentage", std::uint8_t {150});
    BluezObject withoutBattery = headset("/org/bluez/hci0/dev_3");
    withoutBattery.battery.reset();
    for (const BluezObject& object : {headset("/org/bluez/hci0/dev_1"), listed, malformed, withoutBattery}) {
        devices.add(object);
    }
    ASSERT_EQ(devices.batteries().size(), 1U);
    EXPECT_EQ(devices.batteries()[0].path, "/org/bluez/hci0/dev_1");
    EXPECT_EQ(devices.malformed(), 1U);
    EXPECT_FALSE(devices.changed());

    // One more than the walk examines is kept, in reply order.
    BluezDevices many({});
    for (std::size_t index = 0; index <= kMaximumBatteries; ++index) {
        many.add(headset("/dev_" + std::to_string(index)));
    }
    ASSERT_EQ(many.batteries().size(), kMaximumBatteries);
    EXPECT_EQ(many.batteries().back().path, "/dev_" + std::to_string(kMaximumBatteries - 1));
}

TEST(BluezDevicesOfAReply, ChangesOnlyWhenAnObjectGainsOrLosesBeingADeviceWithABattery)
{
    const Texts device {std::string(kDeviceInterface)};
    const Texts battery {std::string(kBatteryInterface)};
    const Texts other {"org.bluez.GattService1", "org.bluez.MediaControl1"};
    const auto replied = [] {
        BluezDevices devices({});
        devices.add(headset("/listed"));
        BluezObject bare = headset("/bare");
        bare.battery.reset();
        devices.add(bare);
        return devices;
    };

    BluezDevices devices = replied();
    devices.interfacesAdded("/new", device); // discovered, no battery
    devices.interfacesAdded("/listed", other);
    devices.interfacesRemoved("/listed", other);
    devices.interfacesRemoved("/nowhere", battery);
    EXPECT_FALSE(devices.changed());
    devices.interfacesAdded("/bare", battery);
    EXPECT_TRUE(devices.changed());
    devices.interfacesRemoved("/bare", battery); // back as it was
    EXPECT_FALSE(devices.changed());

    devices = replied();
    devices.interfacesRemoved("/listed", battery);
    EXPECT_TRUE(devices.changed());

    devices = replied();
    devices.interfacesAdded("/new", Texts {std::string(kDeviceInterface), std::string(kBatteryInterface)});
    EXPECT_TRUE(devices.changed());
}

} // namespace
} // namespace quorvantile::bluez
