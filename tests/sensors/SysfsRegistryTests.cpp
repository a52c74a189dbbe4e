#include "sensors/SensorFixtures.h"
#include "sensors/SystemRegistry.h"
#include "sensors/linux/PowerSupplyBatteryClass.h"
#include "sensors/linux/Sysfs.h"
#include "sensors/linux/SysfsRegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace quorvantile {
namespace {

using testing::FixtureCopy;
using testing::fixtureMachine;

std::vector<std::unique_ptr<RegistryEntry>> walk(RegistryIterator& iterator)
{
    std::vector<std::unique_ptr<RegistryEntry>> entries;
    while (auto entry = iterator.next()) {
        entries.push_back(std::move(entry));
    }
    return entries;
}

TEST(SysfsRegistry, BatteryClassKeepsOnlySystemBatteries)
{
    const auto registry = systemRegistry(fixtureMachine("laptop-energy") + "/sys");
    const auto iterator = registry->matchingServices("AppleSmartBattery");
    ASSERT_NE(iterator, nullptr);
    const auto entries = walk(*iterator);
    ASSERT_EQ(entries.size(), 1U); // not the mains adapter, not the mouse's Device-scope battery
    EXPECT_TRUE(iterator->isValid());

    const std::string canonical =
        std::filesystem::canonical(fixtureMachine("laptop-energy") + "/sys/class/power_supply/BAT0").string();
    EXPECT_EQ(entries[0]->registryEntryID(), sysfs::entryID(canonical));
    EXPECT_EQ(entries[0]->property("BatteryInstalled"), RegistryValue(true));
    // 57.02 Wh and 51.3 Wh at 11.4 V.
    EXPECT_EQ(entries[0]->property("BatteryData"),
        RegistryValue(RegistryDictionary {
            {"DesignCapacity", std::int64_t {5002}}, {"NominalChargeCapacity", std::int64_t {4500}}}));
    EXPECT_EQ(entries[0]->property("DesignCapacity"), std::nullopt);
}

TEST(SysfsRegistry, ChargeAttributesWinAndUnderivableEntriesAreLeftOut)
{
    FixtureCopy machine("intel-mac");
    const std::string battery = machine.sys() + "/class/power_supply/BAT0/";
    const auto data = [&] {
        auto entries = walk(*systemRegistry(machine.sys())->matchingServices("AppleSmartBattery"));
        return entries.at(0)->property("BatteryData");
    };
    EXPECT_EQ(data(),
        RegistryValue(RegistryDictionary {
            {"DesignCapacity", std::int64_t {8755}}, {"NominalChargeCapacity", std::int64_t {7913}}}));

    std::filesystem::remove(battery + "charge_full");
    std::ofstream(battery + "energy_full") << "abc\n"; // unreadable energy: no fallback value
    EXPECT_EQ(data(), RegistryValue(RegistryDictionary {{"DesignCapacity", std::int64_t {8755}}}));
}

TEST(SysfsRegistry, PresentDecidesInstalledAndItsAbsenceMeansInstalled)
{
    FixtureCopy machine("intel-mac");
    const std::string present = machine.sys() + "/class/power_supply/BAT0/present";
    const auto installed = [&] {
        auto entries = walk(*systemRegistry(machine.sys())->matchingServices("AppleSmartBattery"));
        return entries.at(0)->property("BatteryInstalled");
    };
    std::ofstream(present) << "0\n";
    EXPECT_EQ(installed(), RegistryValue(false));
    std::ofstream(present) << "yes\n";
    EXPECT_EQ(installed(), std::nullopt);
    std::filesystem::remove(present);
    EXPECT_EQ(installed(), RegistryValue(true));
}

TEST(SysfsRegistry, WalkIsInvalidWhenAMatchingDeviceComesOrGoes)
{
    FixtureCopy machine("two-batteries");
    const std::string classDirectory = machine.sys() + "/class/power_supply/";

    auto registry = systemRegistry(machine.sys());
    auto iterator = registry->matchingServices("AppleSmartBattery");
    ASSERT_EQ(walk(*iterator).size(), 2U);
    std::filesystem::remove(classDirectory + "BAT1");
    EXPECT_FALSE(iterator->isValid());

    iterator = registry->matchingServices("AppleSmartBattery");
    ASSERT_EQ(walk(*iterator).size(), 1U);
    std::filesystem::create_directory_symlink(
        "../../devices/LNXSYSTM:00/LNXSYBUS:00/PNP0C0A:01/power_supply/BAT1", classDirectory + "BAT1");
    EXPECT_FALSE(iterator->isValid());
}

TEST(SysfsRegistry, WalkStaysValidWhenOnlyANonMatchingDeviceComes)
{
    FixtureCopy machine("two-batteries");
    auto iterator = systemRegistry(machine.sys())->matchingServices("AppleSmartBattery");
    ASSERT_EQ(walk(*iterator).size(), 2U);
    // A charger plugged in during the walk is no battery.
    const std::string charger = machine.sys() + "/devices/platform/ucsi/power_supply/ucsi-source-psy-1";
    std::filesystem::create_directories(charger);
    std::ofstream(charger + "/type") << "USB\n";
    std::filesystem::create_directory_symlink(charger, machine.sys() + "/class/power_supply/ucsi-source-psy-1");
    EXPECT_TRUE(iterator->isValid());
}

TEST(SysfsRegistry, UnknownClassOrMissingClassDirectoryIsAnEmptyValidWalk)
{
    for (const char* machine : {"desktop", "intel-mac"}) {
        const auto registry = systemRegistry(fixtureMachine(machine) + "/sys");
        const auto unknown = registry->matchingServices("NoSuchClass");
        ASSERT_NE(unknown, nullptr);
        EXPECT_EQ(unknown->next(), nullptr);
        EXPECT_TRUE(unknown->isValid());
    }
    const auto noRoot = systemRegistry("/nonexistent-sysfs-root")->matchingServices("AppleSmartBattery");
    ASSERT_NE(noRoot, nullptr);
    EXPECT_EQ(noRoot->next(), nullptr);
}

TEST(PowerSupplyParsing, CapacitiesRoundToNearestAndRefuseNonsense)
{
    EXPECT_EQ(powersupply::chargeMilliampHours(4'999'499), 4999);
    EXPECT_EQ(powersupply::chargeMilliampHours(4'999'500), 5000);
    EXPECT_EQ(powersupply::chargeMilliampHours(-1), std::nullopt);
    EXPECT_EQ(powersupply::energyMilliampHours(57'000'000, 11'400'000), 5000);
    EXPECT_EQ(powersupply::energyMilliampHours(57'000'000, 0), std::nullopt);
    EXPECT_EQ(powersupply::energyMilliampHours(-5, 11'400'000), std::nullopt);
    EXPECT_EQ(powersupply::energyMilliampHours(std::numeric_limits<std::int64_t>::max(), 1), std::nullopt);
    EXPECT_TRUE(powersupply::isSystemBattery("Battery", "System"));
    EXPECT_EQ(powersupply::parsePresent("2"), std::nullopt);
}

TEST(SysfsListing, NaturalOrderPutsHwmon2BeforeHwmon10)
{
    EXPECT_TRUE(sysfs::naturalLess("hwmon2", "hwmon10"));
    EXPECT_FALSE(sysfs::naturalLess("hwmon10", "hwmon2"));
    EXPECT_TRUE(sysfs::naturalLess("fan9_input", "fan10_input"));
    EXPECT_TRUE(sysfs::naturalLess("BAT0", "BAT1"));
    EXPECT_FALSE(sysfs::naturalLess("BAT0", "BAT0"));
    const auto listed = sysfs::listClass(fixtureMachine("desktop") + "/sys", "hwmon");
    ASSERT_TRUE(listed.has_value());
    ASSERT_EQ(listed->size(), 3U);
    EXPECT_EQ((*listed)[0].name, "hwmon1");
    EXPECT_EQ((*listed)[1].name, "hwmon2");
    EXPECT_EQ((*listed)[2].name, "hwmon10");
}

} // namespace
} // namespace quorvantile
