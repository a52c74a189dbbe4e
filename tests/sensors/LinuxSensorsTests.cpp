#include "sensors/SensorFixtures.h"
#include "sensors/SensorHardware.h"
#include "sensors/SystemRegistry.h"
#include "sensors/linux/HwmonSmc.h"
#include "sensors/linux/LinuxProcessorBrand.h"
#include "sensors/linux/Sysfs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace quorvantile {
namespace {

using testing::FixtureCopy;
using testing::fixtureMachine;
namespace hardware = SensorHardware;

std::optional<SensorSnapshot> snapshotOf(const std::string& sys, const std::string& proc)
{
    HwmonSmc smc(sys);
    const auto registry = systemRegistry(sys);
    LinuxProcessorBrand brand(proc, sys);
    return hardware::snapshot(smc, *registry, brand, systemClock());
}

std::optional<SensorSnapshot> snapshotOf(const std::string& machine)
{
    return snapshotOf(fixtureMachine(machine) + "/sys", fixtureMachine(machine) + "/proc");
}

// One raw exchange with the Linux user client.
std::array<std::uint8_t, kSmcBlockBytes> call(SmcConnection& connection, std::string_view key, std::uint8_t command,
    std::uint32_t size, std::int32_t expectedStatus = 0)
{
    std::array<std::uint8_t, kSmcBlockBytes> input {};
    std::array<std::uint8_t, kSmcBlockBytes> output {};
    const std::uint32_t code = hardware::packedKey(key);
    for (std::size_t index = 0; index < 4; ++index) {
        input[index] = static_cast<std::uint8_t>(code >> (8 * index));
        input[28 + index] = static_cast<std::uint8_t>(size >> (8 * index));
    }
    input[42] = command;
    std::size_t length = kSmcBlockBytes;
    EXPECT_EQ(connection.callStructMethod(2, input, output, length), expectedStatus);
    return output;
}

std::string typeOf(SmcConnection& connection, std::string_view key)
{
    const auto output = call(connection, key, kSmcReadKeyInformation, 0);
    return {static_cast<char>(output[35]), static_cast<char>(output[34]), static_cast<char>(output[33]),
        static_cast<char>(output[32])};
}

TEST(HwmonSmc, AppleSmcChipGivesTheMachinesRealKeysFromItsDeviceFolder)
{
    const std::string sys = fixtureMachine("intel-mac") + "/sys";
    const auto service = HwmonSmc(sys).matchingService();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->registryEntryID(),
        sysfs::entryID(std::filesystem::canonical(sys + "/devices/platform/applesmc.768").string()));
    const auto connection = service->open();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(typeOf(*connection, "F0Ac"), "fpe2");
    EXPECT_EQ(typeOf(*connection, "FNum"), "ui8 ");
    EXPECT_EQ(typeOf(*connection, "TB1T"), "sp78");
    EXPECT_EQ(hardware::read(*connection, "FNum"), 2.0);
    EXPECT_EQ(call(*connection, "TC0P", kSmcReadKeyBytes, 2)[48], 0x2F); // 47.5 °C: any labelled key
    EXPECT_EQ(call(*connection, "Tp01", kSmcReadKeyInformation, 0)[40], kSmcResultKeyNotFound);
}

TEST(HwmonSmc, UserClientRefusesBadCallsAndAnythingButReads)
{
    const auto connection = HwmonSmc(fixtureMachine("intel-mac") + "/sys").matchingService()->open();
    std::array<std::uint8_t, kSmcBlockBytes> block {};
    std::size_t length = kSmcBlockBytes;
    EXPECT_EQ(connection->callStructMethod(3, block, block, length), kSmcStatusBadArgument);
    EXPECT_EQ(connection->callStructMethod(2, std::span(block).first(79), block, length), kSmcStatusBadArgument);
    length = 79;
    EXPECT_EQ(connection->callStructMethod(2, block, block, length), kSmcStatusBadArgument);
    EXPECT_EQ(call(*connection, "F0Ac", 6, 2)[40], kSmcResultError); // a write
    EXPECT_EQ(call(*connection, "F0Ac", kSmcReadKeyBytes, 4)[40], kSmcResultError); // wrong size
}

TEST(HwmonSmc, ValuesThatTheTypeCannotHoldOrThatAreNotNumbersAreErrors)
{
    FixtureCopy machine("intel-mac");
    const std::string chip = machine.sys() + "/devices/platform/applesmc.768/";
    std::ofstream(chip + "fan1_input") << "17000\n"; // beyond what fpe2 holds
    std::ofstream(chip + "fan2_input") << "fast\n";
    std::ofstream(chip + "temp2_input") << "-129000\n"; // beyond sp78
    const auto connection = HwmonSmc(machine.sys()).matchingService()->open();
    EXPECT_EQ(hardware::read(*connection, "F0Ac"), std::nullopt);
    EXPECT_EQ(hardware::read(*connection, "F1Ac"), std::nullopt);
    EXPECT_EQ(hardware::read(*connection, "TB1T"), std::nullopt);
    EXPECT_EQ(hardware::read(*connection, "FNum"), 2.0);
}

TEST(HwmonSmc, GenericMachinesTakeTheFirstTwoFansInChipOrderAndTheBatteryTemperature)
{
    const auto desktop = HwmonSmc(fixtureMachine("desktop") + "/sys").matchingService()->open();
    EXPECT_EQ(typeOf(*desktop, "F0Ac"), "flt ");
    EXPECT_EQ(hardware::read(*desktop, "FNum"), 2.0);
    EXPECT_EQ(hardware::read(*desktop, "F0Ac"), 0.0); // hwmon2 fan1, not hwmon10's
    EXPECT_EQ(hardware::read(*desktop, "F1Ac"), 1187.0);
    EXPECT_EQ(call(*desktop, "TB1T", kSmcReadKeyInformation, 0)[40], kSmcResultKeyNotFound);

    const auto laptop = HwmonSmc(fixtureMachine("impossible-battery") + "/sys").matchingService()->open();
    EXPECT_EQ(hardware::read(*laptop, "FNum"), 1.0);
    EXPECT_EQ(hardware::read(*laptop, "TB1T"), 31.19921875); // 31.2 °C in sp78 steps
    EXPECT_EQ(HwmonSmc(fixtureMachine("no-sensors") + "/sys").matchingService(), nullptr);
    EXPECT_EQ(HwmonSmc("/nonexistent-sysfs-root").matchingService(), nullptr);
}

TEST(HwmonSmcParsing, LabelsAndAttributeNames)
{
    EXPECT_TRUE(hwmonsmc::isSmcKey("TB1T"));
    EXPECT_FALSE(hwmonsmc::isSmcKey("Core 0"));
    EXPECT_FALSE(hwmonsmc::isSmcKey("TB\t1"));
    EXPECT_EQ(hwmonsmc::attributeIndex("fan12_input", "fan", "_input"), 12U);
    EXPECT_EQ(hwmonsmc::attributeIndex("fan_input", "fan", "_input"), std::nullopt);
    EXPECT_EQ(hwmonsmc::attributeIndex("fan1x_input", "fan", "_input"), std::nullopt);
    EXPECT_EQ(hwmonsmc::encode("ui8 ", 256.0), std::nullopt);
}

TEST(ProcessorBrandParsing, CpuinfoModelNameAndAppleSiliconDeviceTree)
{
    EXPECT_EQ(processorbrand::cpuinfoModelName("processor\t: 0\nmodel\t\t: 70\nmodel name\t: Intel(R) Core(TM)  i7 \n"
                                               "model name\t: second\n"),
        "Intel(R) Core(TM)  i7 ");
    EXPECT_EQ(processorbrand::cpuinfoModelName("processor\t: 0\nCPU part\t: 0x024\n"), std::nullopt);
    EXPECT_EQ(processorbrand::cpuinfoModelName("model name\t:"), "");
    EXPECT_EQ(processorbrand::appleSiliconBrand(std::string_view("apple,j274\0apple,t8103\0apple,arm-platform\0", 42)),
        "Apple M1");
    EXPECT_EQ(processorbrand::appleSiliconBrand(std::string_view("apple,j375d\0apple,t6002\0", 25)), "Apple M1 Ultra");
    EXPECT_EQ(
        processorbrand::appleSiliconBrand(std::string_view("raspberrypi,4-model-b\0brcm,bcm2711\0", 35)), std::nullopt);
}

TEST(LinuxProcessorBrand, AnswersLengthThenBytesLikeTheSysctl)
{
    LinuxProcessorBrand brand(fixtureMachine("intel-mac") + "/proc", fixtureMachine("intel-mac") + "/sys");
    std::size_t length = 0;
    ASSERT_EQ(brand.read({}, length), 0);
    const std::string expected = "Intel(R) Core(TM) i7-4870HQ CPU @ 2.50GHz";
    EXPECT_EQ(length, expected.size() + 1);
    std::vector<char> small(length - 1);
    EXPECT_EQ(brand.read(small, length), -1);
    std::vector<char> buffer(length, 'x');
    ASSERT_EQ(brand.read(buffer, length), 0);
    EXPECT_EQ(std::string(buffer.data()), expected);

    LinuxProcessorBrand none("/nonexistent-proc", "/nonexistent-sys");
    EXPECT_EQ(none.read({}, length), -1);
}

TEST(LinuxSensorSnapshot, IntelMacEndToEnd)
{
    const auto snapshot = snapshotOf("intel-mac");
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->model, "Intel(R) Core(TM) i7-4870HQ CPU @ 2.50GHz");
    EXPECT_EQ(snapshot->readings,
        (std::vector<SensorReading> {{"F0Ac", SensorReading::Unit::rpm, 2160.0},
            {"F1Ac", SensorReading::Unit::rpm, 1998.0}, {"TB1T", SensorReading::Unit::celsius, 29.75}}));
    EXPECT_EQ(snapshot->batteryCapacity, (BatteryCapacity {8755, 7913}));
}

TEST(LinuxSensorSnapshot, GenericMachinesEndToEnd)
{
    const auto laptop = snapshotOf("laptop-energy");
    ASSERT_TRUE(laptop);
    EXPECT_EQ(laptop->readings,
        (std::vector<SensorReading> {
            {"F0Ac", SensorReading::Unit::rpm, 2451.0}, {"TB1T", SensorReading::Unit::celsius, std::nullopt}}));
    EXPECT_EQ(laptop->batteryCapacity, (BatteryCapacity {5002, 4500})); // from energy over voltage

    const auto desktop = snapshotOf("desktop");
    ASSERT_TRUE(desktop);
    EXPECT_EQ(desktop->model, "AMD Ryzen 7 5800X 8-Core Processor             ");
    EXPECT_EQ(desktop->readings.size(), 3U);
    EXPECT_EQ(desktop->batteryCapacity, std::nullopt);

    const auto twoBatteries = snapshotOf("two-batteries");
    ASSERT_TRUE(twoBatteries);
    EXPECT_EQ(twoBatteries->batteryCapacity, std::nullopt);

    const auto appleSilicon = snapshotOf("impossible-battery");
    ASSERT_TRUE(appleSilicon);
    EXPECT_EQ(appleSilicon->model, "Apple M1 Pro");
    EXPECT_EQ(appleSilicon->readings.size(), 5U); // one fan, TB1T and the three M1 keys without value
    EXPECT_EQ(appleSilicon->readings[1], (SensorReading {"TB1T", SensorReading::Unit::celsius, 31.19921875}));
    EXPECT_EQ(appleSilicon->batteryCapacity, std::nullopt); // 500 mAh design: implausible

    EXPECT_FALSE(snapshotOf("no-sensors"));
}

TEST(LinuxSensorSnapshot, NoBrandStringNoSnapshot)
{
    FixtureCopy machine("desktop");
    std::ofstream(machine.proc() + "/cpuinfo") << "processor\t: 0\n";
    EXPECT_FALSE(snapshotOf(machine.sys(), machine.proc()));
}

} // namespace
} // namespace quorvantile
