#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/SensorFixtures.h"
#include "sensors/SystemRegistry.h"
#include "sensors/linux/HidEventServiceClass.h"
#include "sensors/linux/Sysfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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

// The workstation's accessories in id order, with the Bluetooth mouse's percent as given. The receiver's
// keyboard reports only a level: it is listed without a percent.
std::vector<AccessoryBatteryReading> workstation(
    const std::string& root, std::optional<std::int64_t> mouse, bool keyboard)
{
    const auto idOf = [&](const char* supply) {
        return sysfs::entryID(fs::canonical(root + "/class/power_supply/" + supply).string());
    };
    std::vector<AccessoryBatteryReading> readings {
        {idOf("hid-00:1f:20:3c:9e:41-battery"), "Travel Mouse M557", Transport::bluetooth, mouse},
        {idOf("hid-e4:7d:bd:51:a0:2c-battery"), "Slim Keys 2 BLE", Transport::bluetoothLowEnergy, 90},
        {idOf("hid-d7:2e:4c:91:5a:03-battery"), "MX Anywhere 3", Transport::bluetoothLowEnergy, 35},
        {idOf("hidpp_battery_0"), "Wireless Mouse MX3", Transport::usb, 80}};
    if (keyboard) {
        readings.push_back({idOf("hidpp_battery_1"), "Wireless Keyboard K470", Transport::usb, std::nullopt});
    }
    std::ranges::sort(readings, {}, &AccessoryBatteryReading::registryID);
    return readings;
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

TEST(HidEventServiceClass, ListsDeviceBatteriesWithTheirTransportOrFallsBack)
{
    // The system's batteries and the USB-C port are no accessories.
    const std::string root = fixture("accessories/workstation");
    const auto snapshot = snapshotOf(root);
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->incomplete);
    EXPECT_EQ(snapshot->readings, workstation(root, 64, true));

    const auto emptyProduct = snapshotOf(fixture("accessories/empty-product"));
    EXPECT_TRUE(emptyProduct && emptyProduct->readings.empty() && emptyProduct->incomplete);
    EXPECT_FALSE(snapshotOf(fixture("accessories/no-such-tree")));

    // It falls back to the HID name, keeps an unknown charge and passes over supplies with neither.
    FixtureCopy copy("accessories/workstation");
    const std::string supplies = copy.root + "/class/power_supply/";
    const std::string mouse = supplies + "hid-00:1f:20:3c:9e:41-battery";
    fs::remove(mouse + "/model_name");
    // A read error stands in for the kernel failing to ask the device for its charge.
    fs::remove(mouse + "/capacity");
    fs::create_directory(mouse + "/capacity");
    fs::remove(supplies + "hidpp_battery_1/capacity_level");
    const auto fallback = snapshotOf(copy.root);
    ASSERT_TRUE(fallback);
    EXPECT_FALSE(fallback->incomplete);
    EXPECT_EQ(fallback->readings, workstation(copy.root, std::nullopt, false));

    fs::remove_all(copy.root + "/class"); // no power supply class: no accessories, but a snapshot
    const auto none = snapshotOf(copy.root);
    EXPECT_TRUE(none && none->readings.empty() && !none->incomplete);
}

TEST(HidEventServiceClass, PassesOverABatteryOnAnotherBusAndListsOneWithAnUnreadableLevel)
{
    // The convertible's pen reports its battery over I2C: no transport of the three, so not listed.
    const auto laptop = snapshotOf(fixture("accessories/laptop"));
    ASSERT_TRUE(laptop);
    EXPECT_TRUE(laptop->readings.empty());
    EXPECT_FALSE(laptop->incomplete);

    // A level the kernel fails to read is still a battery of unknown charge.
    FixtureCopy copy("accessories/workstation");
    const std::string level = copy.root + "/class/power_supply/hidpp_battery_1/capacity_level";
    fs::remove(level);
    fs::create_directory(level);
    const auto unreadable = snapshotOf(copy.root);
    ASSERT_TRUE(unreadable);
    EXPECT_FALSE(unreadable->incomplete);
    EXPECT_EQ(unreadable->readings, workstation(copy.root, 64, true));
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
