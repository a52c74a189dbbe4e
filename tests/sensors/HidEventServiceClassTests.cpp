#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/SystemRegistry.h"
#include "sensors/linux/HidEventServiceClass.h"
#include "sensors/linux/Sysfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <tuple>

namespace quorvantile {
namespace {

namespace fs = std::filesystem;
using Transport = AccessoryBatteryReading::Transport;

std::string tree(const std::string& name) { return std::string(QUORVANTILE_FIXTURES_DIR) + "/accessories/" + name; }

std::uint64_t idOf(const std::string& root, const std::string& supply)
{
    return sysfs::entryID(fs::canonical(root + "/class/power_supply/" + supply).string());
}

std::optional<AccessoryBatterySnapshot> snapshotOf(const std::string& root)
{
    return AccessoryBatteryHardware::snapshot(*systemRegistry(root), systemClock());
}

// A private copy of a tree that a test may change, removed at the end.
struct TreeCopy {
    explicit TreeCopy(const std::string& name)
    {
        std::string pattern = (fs::temp_directory_path() / "quorvantile-accessories-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            root = pattern;
            fs::copy(tree(name), root, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        }
    }
    ~TreeCopy()
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    TreeCopy(const TreeCopy&) = delete;
    TreeCopy& operator=(const TreeCopy&) = delete;
    std::string root;
};

TEST(HidUevent, ReadsBusAndNameFromLiteralText)
{
    const auto uevent = parseHidUevent("DRIVER=hid-generic\nHID_ID=0005:0000046D:0000B016\nHID_NAME=A=B  \n");
    EXPECT_EQ(uevent.bus, 0x05U);
    EXPECT_EQ(uevent.name, "A=B  ");
    EXPECT_EQ(parseHidUevent("HID_NAME=\nHID_ID=0003:00001A2C:00000E24").name, "");
    EXPECT_EQ(parseHidUevent("HID_ID=0003:00001A2C:00000E24").bus, 0x03U);
    for (const char* text : {"", "HID_ID=zz:1:2\n", "HID_ID=0005\n", "HID_ID=:1:2\n", "XHID_ID=0005:1:2\n"}) {
        EXPECT_EQ(parseHidUevent(text).bus, std::nullopt) << text;
        EXPECT_EQ(parseHidUevent(text).name, std::nullopt) << text;
    }
}

TEST(HidEventServiceClass, ListsDeviceBatteriesWithTheirTransport)
{
    const std::string root = tree("workstation");
    const auto snapshot = snapshotOf(root);
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->incomplete); // the receiver's keyboard reports only a level: it has no percent
    std::vector<AccessoryBatteryReading> expected {
        {idOf(root, "hid-00:1f:20:3c:9e:41-battery"), "Travel Mouse M557", Transport::bluetooth, 64},
        {idOf(root, "hid-e4:7d:bd:51:a0:2c-battery"), "Slim Keys 2 BLE", Transport::bluetoothLowEnergy, 90},
        {idOf(root, "hidpp_battery_0"), "Wireless Mouse MX3", Transport::usb, 80}};
    std::sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.registryID < b.registryID; });
    EXPECT_EQ(snapshot->readings, expected);
    const auto again = snapshotOf(root);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->readings, snapshot->readings); // ids stay the same from call to call

    for (const auto& [name, size, incomplete] :
        {std::tuple {"bluetooth-mouse", 1U, false}, {"ble-keyboard", 1U, false}, {"usb-receiver", 1U, false},
            {"capacity-missing", 0U, false}, {"empty-product", 0U, true}, {"laptop", 0U, false}}) {
        const auto alone = snapshotOf(tree(name));
        ASSERT_TRUE(alone) << name;
        EXPECT_EQ(alone->readings.size(), size) << name;
        EXPECT_EQ(alone->incomplete, incomplete) << name;
    }
}

TEST(HidEventServiceClass, FallsBackToTheHidNameAndKeepsBatteriesOfUnknownCharge)
{
    TreeCopy copy("bluetooth-mouse");
    const std::string supply = copy.root + "/class/power_supply/hid-00:1f:20:3c:9e:41-battery";
    fs::remove(supply + "/model_name");
    // A read error stands in for the kernel failing to ask the device for its charge.
    fs::remove(supply + "/capacity");
    fs::create_directory(supply + "/capacity");
    const HidEventServiceClass serviceClass(copy.root);
    const std::string device = fs::canonical(supply).string();
    EXPECT_EQ(serviceClass.property(device, "Product"), RegistryValue(std::string("Travel Mouse M557")));
    EXPECT_EQ(serviceClass.property(device, "BatteryPercent"), RegistryValue(std::string()));
    const auto snapshot = snapshotOf(copy.root);
    ASSERT_TRUE(snapshot && snapshot->readings.size() == 1);
    EXPECT_EQ(snapshot->readings[0].percent, std::nullopt);

    fs::remove(supply + "/capacity");
    EXPECT_EQ(serviceClass.property(device, "BatteryPercent"), std::nullopt);
}

TEST(HidEventServiceClass, AWalkNoticesDeviceSuppliesComingAndGoingOnly)
{
    TreeCopy copy("workstation");
    const std::string supplies = copy.root + "/class/power_supply/";
    const auto battery = fs::read_symlink(supplies + "BAT1");
    const auto port = fs::read_symlink(supplies + "ucsi-source-psy-USBC000:001"); // Device scope, no capacity
    const auto registry = systemRegistry(copy.root);
    const auto first = registry->matchingServices(AccessoryBatteryHardware::kServiceClassName);
    ASSERT_NE(first, nullptr);
    fs::remove(supplies + "BAT1");
    EXPECT_TRUE(first->isValid());
    fs::remove(supplies + "ucsi-source-psy-USBC000:001");
    EXPECT_FALSE(first->isValid());

    const auto second = registry->matchingServices(AccessoryBatteryHardware::kServiceClassName);
    ASSERT_NE(second, nullptr);
    fs::create_directory_symlink(battery, supplies + "BAT1");
    EXPECT_TRUE(second->isValid());
    fs::create_directory_symlink(port, supplies + "ucsi-source-psy-USBC000:001");
    EXPECT_FALSE(second->isValid());
}

TEST(HidEventServiceClass, MissingTreesAndClasses)
{
    EXPECT_FALSE(snapshotOf(tree("no-such-tree")));
    TreeCopy copy("laptop");
    fs::remove_all(copy.root + "/class");
    const auto snapshot = snapshotOf(copy.root);
    ASSERT_TRUE(snapshot);
    EXPECT_TRUE(snapshot->readings.empty());
}

} // namespace
} // namespace quorvantile
