#include "sensors/SensorFixtures.h"
#include "sensors/SensorHardware.h"
#include "sensors/SystemRegistry.h"
#include "sensors/linux/HwmonSmc.h"
#include "sensors/linux/LinuxProcessorBrand.h"
#include "sensors/linux/PowerSupplyBatteryClass.h"
#include "sensors/linux/Sysfs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

namespace quorvantile {
namespace {

namespace fs = std::filesystem;
namespace hardware = SensorHardware;
using testing::fixture;
using testing::FixtureCopy;
using enum SensorReading::Unit;

std::optional<SensorSnapshot> snapshotOf(const std::string& root)
{
    HwmonSmc smc(root + "/sys");
    LinuxProcessorBrand brand(root + "/proc", root + "/sys");
    return hardware::snapshot(smc, *systemRegistry(root + "/sys"), brand, systemClock());
}

std::unique_ptr<SmcConnection> connect(const std::string& sys) { return HwmonSmc(sys).matchingService()->open(); }

TEST(HwmonSmc, UserClientRefusesBadCallsAndAnythingButReads)
{
    const auto connection = connect(fixture("sensors/intel-mac/sys"));
    std::array<std::uint8_t, kSmcBlockBytes> block {};
    std::size_t length = kSmcBlockBytes;
    EXPECT_EQ(connection->callStructMethod(3, block, block, length), kSmcStatusBadArgument);
    EXPECT_EQ(connection->callStructMethod(2, std::span(block).first(79), block, length), kSmcStatusBadArgument);
    length = 79;
    EXPECT_EQ(connection->callStructMethod(2, block, block, length), kSmcStatusBadArgument);
    // A write of "F0Ac" (bytes 0 … 3 hold the key, last character first).
    std::array<std::uint8_t, kSmcBlockBytes> write {'c', 'A', '0', 'F'};
    write[kSmcCommandOffset] = 6;
    length = kSmcBlockBytes;
    EXPECT_EQ(connection->callStructMethod(kSmcSelector, write, block, length), 0);
    EXPECT_EQ(block[kSmcResultOffset], kSmcResultError);
    // A read of another size than the key's.
    EXPECT_EQ(hardware::exchange(*connection, "F0Ac", kSmcReadKeyBytes, 4).output[kSmcResultOffset], kSmcResultError);
    EXPECT_EQ(hardware::exchange(*connection, "F0Ac", kSmcReadKeyBytes, 2).output[kSmcResultOffset], 0);
}

TEST(HwmonSmc, ValuesThatTheTypeCannotHoldOrThatAreNotNumbersAreErrors)
{
    FixtureCopy machine("sensors/intel-mac");
    const std::string chip = machine.root + "/sys/devices/platform/applesmc.768/";
    std::ofstream(chip + "fan1_input") << "17000\n"; // beyond what fpe2 holds
    std::ofstream(chip + "fan2_input") << "fast\n";
    std::ofstream(chip + "temp2_input") << "-129000\n"; // beyond sp78
    const auto connection = connect(machine.root + "/sys");
    for (const char* key : {"F0Ac", "F1Ac", "TB1T"}) {
        EXPECT_EQ(hardware::read(*connection, key), std::nullopt) << key;
    }
    EXPECT_EQ(hardware::read(*connection, "FNum"), 2.0);
}

// A temperature below freezing is a value like any other, rounded to the nearest step of its type
// (1/256 of a degree for sp78), not cut towards zero.
TEST(HwmonSmc, ValuesAreRoundedToTheNearestStepOfTheirTypeBelowZeroToo)
{
    FixtureCopy machine("sensors/intel-mac");
    std::ofstream(machine.root + "/sys/devices/platform/applesmc.768/temp2_input") << "-5300\n"; // -1356.8 steps
    EXPECT_EQ(hardware::read(*connect(machine.root + "/sys"), "TB1T"), -1357.0 / 256);
}

TEST(LinuxSensorParsing, HwmonNamesPowerSupplyUnitsBrandSourcesAndTheBrandAnswer)
{
    EXPECT_EQ(hwmonsmc::attributeIndex("fan1x_input", "fan", "_input"), std::nullopt);
    EXPECT_EQ(powersupply::chargeMilliampHours(4'999'499), 4999);
    EXPECT_EQ(powersupply::chargeMilliampHours(4'999'500), 5000);
    EXPECT_EQ(powersupply::energyMilliampHours(57'000'000, 0), std::nullopt);
    EXPECT_EQ(powersupply::energyMilliampHours(std::numeric_limits<std::int64_t>::max(), 1), std::nullopt);
    EXPECT_EQ(processorbrand::cpuinfoModelName("processor\t: 0\nmodel name\t: Intel(R)  i7 \nmodel name\t: second\n"),
        "Intel(R)  i7 ");
    EXPECT_EQ(processorbrand::cpuinfoModelName("processor\t: 0\nCPU part\t: 0x024\n"), std::nullopt);
    EXPECT_EQ(processorbrand::appleSiliconBrand(std::string_view("apple,j375d\0apple,t6002\0", 24)), "Apple M1 Ultra");
    EXPECT_EQ(processorbrand::appleSiliconBrand(std::string_view("brcm,bcm2711\0", 13)), std::nullopt);

    // The brand answers like the sysctl (its length with the zero first, read by the fixture machines below),
    // and nothing into a short buffer.
    LinuxProcessorBrand brand(fixture("sensors/intel-mac/proc"), fixture("sensors/intel-mac/sys"));
    std::size_t length = 0;
    ASSERT_EQ(brand.read({}, length), 0);
    std::vector<char> buffer(length - 1);
    EXPECT_EQ(brand.read(buffer, length), -1);
    EXPECT_EQ(LinuxProcessorBrand("/nonexistent-proc", "/nonexistent-sys").read({}, length), -1);
}

TEST(SysfsBatteryClass, PresentDecidesInstalledAndUnderivableCapacitiesAreLeftOut)
{
    FixtureCopy machine("sensors/intel-mac");
    const std::string battery = machine.root + "/sys/class/power_supply/BAT0/";
    const auto property = [&](std::string_view name) {
        return systemRegistry(machine.root + "/sys")->matchingServices("AppleSmartBattery")->next()->property(name);
    };
    std::ofstream(battery + "present") << "0\n";
    EXPECT_EQ(property("BatteryInstalled"), RegistryValue(false));
    std::ofstream(battery + "present") << "yes\n";
    EXPECT_EQ(property("BatteryInstalled"), std::nullopt);
    fs::remove(battery + "present");
    EXPECT_EQ(property("BatteryInstalled"), RegistryValue(true));

    fs::remove(battery + "charge_full");
    std::ofstream(battery + "energy_full") << "abc\n";
    EXPECT_EQ(property("BatteryData"), RegistryValue(RegistryDictionary {{"DesignCapacity", std::int64_t {8755}}}));
}

TEST(LinuxSensorSnapshot, FixtureMachinesEndToEnd)
{
    const std::optional<double> none;
    const struct {
        const char* machine;
        const char* model;
        std::vector<SensorReading> readings;
        std::optional<BatteryCapacity> battery;
    } rows[] = {
        {"intel-mac", "Intel(R) Core(TM) i7-4870HQ CPU @ 2.50GHz",
            {{"F0Ac", rpm, 2160.0}, {"F1Ac", rpm, 1998.0}, {"TB1T", celsius, 29.75}}, BatteryCapacity {8755, 7913}},
        // From energy over voltage; the mouse's Device-scope battery is not a second one.
        {"laptop-energy", "Intel(R) Core(TM) i7-8565U CPU @ 1.80GHz", {{"F0Ac", rpm, 2451.0}, {"TB1T", celsius, none}},
            BatteryCapacity {5002, 4500}},
        // The first two fans in chip order: hwmon2's fan1 before hwmon10's.
        {"desktop", "AMD Ryzen 7 5800X 8-Core Processor             ",
            {{"F0Ac", rpm, 0.0}, {"F1Ac", rpm, 1187.0}, {"TB1T", celsius, none}}, std::nullopt},
        {"two-batteries", "Intel(R) Core(TM) i5-5300U CPU @ 2.30GHz",
            {{"F0Ac", rpm, 3100.0}, {"F1Ac", rpm, 2900.0}, {"TB1T", celsius, none}}, std::nullopt},
        // 31.2 °C in sp78 steps; a 500 mAh design is implausible.
        {"impossible-battery", "Apple M1 Pro",
            {{"F0Ac", rpm, 1203.0}, {"TB1T", celsius, 31.19921875}, {"Tp01", celsius, none}, {"Tp09", celsius, none},
                {"Tg05", celsius, none}},
            std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.machine);
        const auto snapshot = snapshotOf(fixture(std::string("sensors/") + row.machine));
        ASSERT_TRUE(snapshot);
        EXPECT_EQ(std::tie(snapshot->model, snapshot->readings, snapshot->batteryCapacity),
            std::tie(row.model, row.readings, row.battery));
    }
    const std::string chip = fixture("sensors/intel-mac/sys/devices/platform/applesmc.768");
    EXPECT_EQ(snapshotOf(fixture("sensors/intel-mac")).value().registryID,
        sysfs::entryID(fs::canonical(chip).string())); // the chip's device folder
    EXPECT_FALSE(snapshotOf(fixture("sensors/no-sensors")));
    FixtureCopy noBrand("sensors/desktop");
    std::ofstream(noBrand.root + "/proc/cpuinfo") << "processor\t: 0\n";
    EXPECT_FALSE(snapshotOf(noBrand.root));
}

// A device registered anew under the same name: a new class entry, replacing the old one at once.
void registerAnew(const std::string& classDirectory, const std::string& name)
{
    const std::string entry = classDirectory + "/" + name;
    fs::create_symlink(fs::read_symlink(entry), entry + ".new");
    fs::rename(entry + ".new", entry);
}

TEST(LinuxSensorSnapshot, AServerKeepsWhatItFoundOnlyWhileNothingIsRegisteredAnew)
{
    FixtureCopy machine("sensors/laptop-energy");
    const std::string sys = machine.root + "/sys";
    const std::string battery = sys + "/class/power_supply/BAT0/";
    SensorHardware::SystemSensors sensors({.sysfs = sys, .proc = machine.root + "/proc"});
    using Seen = std::pair<std::vector<SensorReading>, std::optional<BatteryCapacity>>;
    const auto seen = [&]() -> std::optional<Seen> {
        const auto snapshot = sensors.snapshot();
        return snapshot ? std::optional(Seen {snapshot->readings, snapshot->batteryCapacity}) : std::nullopt;
    };
    const BatteryCapacity capacity {5002, 4500};
    // A brand or a battery's type that could not be read is asked for again.
    fs::rename(machine.root + "/proc/cpuinfo", machine.root + "/cpuinfo");
    EXPECT_FALSE(seen());
    fs::rename(machine.root + "/cpuinfo", machine.root + "/proc/cpuinfo");
    fs::rename(battery + "type", machine.root + "/type");
    fs::create_directory(battery + "type");
    EXPECT_EQ(seen(), Seen({{"F0Ac", rpm, 2451.0}, {"TB1T", celsius, std::nullopt}}, std::nullopt));
    fs::remove(battery + "type");
    fs::rename(machine.root + "/type", battery + "type");
    EXPECT_EQ(seen(), Seen({{"F0Ac", rpm, 2451.0}, {"TB1T", celsius, std::nullopt}}, capacity));

    // Sources and batteries are looked for again when a device is registered anew.
    std::ofstream(battery + "temp") << "312\n";
    registerAnew(sys + "/class/power_supply", "BAT0");
    EXPECT_EQ(seen(), Seen({{"F0Ac", rpm, 2451.0}, {"TB1T", celsius, 31.19921875}}, capacity));
    std::ofstream(battery + "scope") << "Device\n"; // a mouse's battery now
    registerAnew(sys + "/class/power_supply", "BAT0");
    EXPECT_EQ(seen(), Seen({{"F0Ac", rpm, 2451.0}, {"TB1T", celsius, std::nullopt}}, std::nullopt));
    fs::remove(sys + "/class/hwmon/hwmon3/fan1_input");
    registerAnew(sys + "/class/hwmon", "hwmon3");
    EXPECT_FALSE(seen()); // no source left
}

} // namespace
} // namespace quorvantile
