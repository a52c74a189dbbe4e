#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/SensorFixtures.h"
#include "sensors/SystemRegistry.h"
#include "sensors/linux/HidEventServiceClass.h"
#include "sensors/linux/Sysfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

namespace quorvantile {
namespace {

namespace fs = std::filesystem;
using testing::fixture;
using testing::FixtureCopy;
using Transport = AccessoryBatteryReading::Transport;

std::optional<AccessoryBatterySnapshot> snapshotOf(const std::string& root)
{
    return AccessoryBatteryHardware::snapshot(*systemRegistry(root), systemClock());
}

TEST(HidUevent, ReadsBusAndNameFromLiteralText)
{
    const auto uevent = parseHidUevent("DRIVER=hid-generic\nHID_ID=0005:0000046D:0000B016\nHID_NAME=A=B  \n");
    EXPECT_EQ(uevent.bus, 0x05U);
    EXPECT_EQ(uevent.name, "A=B  ");
    EXPECT_EQ(parseHidUevent("HID_NAME=\nHID_ID=0003:00001A2C:00000E24").name, "");
    for (const char* text : {"", "HID_ID=zz:1:2\n", "HID_ID=0005\n", "HID_ID=:1:2\n", "XHID_ID=0005:1:2\n"}) {
        EXPECT_EQ(parseHidUevent(text).bus, std::nullopt) << text;
        EXPECT_EQ(parseHidUevent(text).name, std::nullopt) << text;
    }
}

TEST(HidEventServiceClass, ListsDeviceBatteriesWithTheirTransport)
{
    const std::string root = fixture("accessories/workstation");
    const auto idOf = [&](const char* supply) {
        return sysfs::entryID(fs::canonical(root + "/class/power_supply/" + supply).string());
    };
    const auto snapshot = snapshotOf(root);
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->incomplete);
    // The receiver's keyboard reports only a level: it is listed without a percent.
    std::vector<AccessoryBatteryReading> expected {
        {idOf("hid-00:1f:20:3c:9e:41-battery"), "Travel Mouse M557", Transport::bluetooth, 64},
        {idOf("hid-e4:7d:bd:51:a0:2c-battery"), "Slim Keys 2 BLE", Transport::bluetoothLowEnergy, 90},
        {idOf("hidpp_battery_0"), "Wireless Mouse MX3", Transport::usb, 80},
        {idOf("hidpp_battery_1"), "Wireless Keyboard K470", Transport::usb, std::nullopt}};
    std::sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.registryID < b.registryID; });
    EXPECT_EQ(snapshot->readings, expected);

    for (const auto& [name, size, incomplete] :
        {std::tuple {"bluetooth-mouse", 1U, false}, {"ble-keyboard", 1U, false}, {"usb-receiver", 1U, false},
            {"capacity-missing", 1U, false}, {"empty-product", 0U, true}, {"laptop", 0U, false}}) {
        const auto alone = snapshotOf(fixture(std::string("accessories/") + name));
        ASSERT_TRUE(alone) << name;
        EXPECT_EQ(alone->readings.size(), size) << name;
        EXPECT_EQ(alone->incomplete, incomplete) << name;
    }
}

TEST(HidEventServiceClass, ASupplyWithNeitherCapacityNorLevelIsPassedOver)
{
    FixtureCopy copy("accessories/capacity-missing");
    fs::remove(copy.root + "/class/power_supply/hidpp_battery_1/capacity_level");
    const auto snapshot = snapshotOf(copy.root);
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->readings.empty());
    EXPECT_FALSE(snapshot->incomplete);
}

TEST(HidEventServiceClass, NoTreeGivesNothingButNoPowerSupplyClassGivesNoAccessories)
{
    EXPECT_FALSE(snapshotOf(fixture("accessories/no-such-tree")));
    FixtureCopy copy("accessories/laptop");
    fs::remove_all(copy.root + "/class");
    const auto snapshot = snapshotOf(copy.root);
    EXPECT_TRUE(snapshot && snapshot->readings.empty());
}

TEST(HidEventServiceClass, FallsBackToTheHidNameAndKeepsBatteriesOfUnknownCharge)
{
    FixtureCopy copy("accessories/bluetooth-mouse");
    const std::string supply = copy.root + "/class/power_supply/hid-00:1f:20:3c:9e:41-battery";
    fs::remove(supply + "/model_name");
    // A read error stands in for the kernel failing to ask the device for its charge.
    fs::remove(supply + "/capacity");
    fs::create_directory(supply + "/capacity");
    const auto snapshot = snapshotOf(copy.root);
    ASSERT_TRUE(snapshot && snapshot->readings.size() == 1);
    EXPECT_EQ(snapshot->readings[0].name, "Travel Mouse M557");
    EXPECT_EQ(snapshot->readings[0].percent, std::nullopt);
}

TEST(HidEventServiceClass, AWalkNoticesDeviceSuppliesComingAndGoingOnly)
{
    FixtureCopy copy("accessories/workstation");
    const auto registry = systemRegistry(copy.root);
    // The system's battery is not of the class; the port is (Device scope), though it has no capacity.
    for (const bool going : {true, false}) {
        const auto walk = registry->matchingServices("AppleDeviceManagementHIDEventService");
        for (const std::string name : {"BAT1", "ucsi-source-psy-USBC000:001"}) {
            const std::string listed = copy.root + "/class/power_supply/" + name;
            const std::string aside = copy.root + "/" + name;
            fs::rename(going ? listed : aside, going ? aside : listed);
            EXPECT_EQ(walk->isValid(), name == "BAT1") << name << (going ? " going" : " coming");
        }
    }
}

} // namespace
} // namespace quorvantile
