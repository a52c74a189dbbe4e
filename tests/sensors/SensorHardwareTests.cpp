#include "sensors/SensorFakes.h"
#include "sensors/SensorHardware.h"

#include <gtest/gtest.h>

namespace quorvantile {
namespace {

using namespace quorvantile::testing;
namespace hardware = SensorHardware;

constexpr const char* kIntel = "Intel(R) Core(TM) i7-4870HQ CPU @ 2.50GHz";

// A machine whose SMC has every key and whose registry has one plausible installed battery.
struct Machine {
    FakeSmcState smc;
    FakeRegistryState registry;
    FakeClock clock;
    std::string brand = kIntel;
    std::optional<std::size_t> reportedBrandLength;

    Machine()
    {
        smc.keys["FNum"] = {"ui8 ", {2}};
        smc.keys["F0Ac"] = {"fpe2", {0x1F, 0x40}};
        smc.keys["F1Ac"] = {"flt ", floatBytes(1500.0F)};
        for (const char* key : {"TB1T", "Tp01", "Tp09", "Tg05"}) {
            smc.keys[key] = {"sp78", {0x28, 0x80}};
        }
        registry.services = {{{"BatteryInstalled", true},
            {"BatteryData",
                RegistryDictionary {
                    {"DesignCapacity", std::int64_t {5000}}, {"NominalChargeCapacity", std::int64_t {4500}}}}}};
    }

    std::optional<SensorSnapshot> snapshot()
    {
        FakeSmc smcPort(smc);
        FakeRegistry registryPort(registry);
        FakeProcessorBrand brandPort(brand, reportedBrandLength);
        auto result = hardware::snapshot(smcPort, registryPort, brandPort, clock);
        EXPECT_EQ(smc.liveServices + smc.liveConnections + registry.liveIterators + registry.liveEntries, 0);
        return result;
    }

    std::optional<BatteryCapacity> battery()
    {
        FakeRegistry registryPort(registry);
        auto result = hardware::batteryCapacity(registryPort);
        EXPECT_EQ(registry.liveIterators + registry.liveEntries, 0);
        return result;
    }

    std::vector<std::string> keysRead(const std::optional<SensorSnapshot>& snapshot) const
    {
        std::vector<std::string> keys;
        for (const SensorReading& reading : snapshot.value().readings) {
            keys.push_back(reading.key);
        }
        return keys;
    }
};

FakeProperties battery(RegistryValue installed, std::int64_t design = 5000, std::int64_t full = 4500)
{
    return {{"BatteryInstalled", std::move(installed)},
        {"BatteryData", RegistryDictionary {{"DesignCapacity", design}, {"NominalChargeCapacity", full}}}};
}

TEST(SensorSnapshotAssembly, ReadsTheModelsKeysInOrderWithinFourteenCalls)
{
    Machine machine;
    machine.brand = "Apple M1 Max";
    const auto snapshot = machine.snapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(machine.keysRead(snapshot), (std::vector<std::string> {"F0Ac", "F1Ac", "TB1T", "Tp01", "Tp09", "Tg05"}));
    EXPECT_EQ(snapshot->readings[0], (SensorReading {"F0Ac", SensorReading::Unit::rpm, 2000.0}));
    EXPECT_EQ(snapshot->readings[1].value, 1500.0);
    EXPECT_EQ(snapshot->readings[2], (SensorReading {"TB1T", SensorReading::Unit::celsius, 40.5}));
    EXPECT_EQ(snapshot->registryID, machine.smc.registryID);
    EXPECT_EQ(snapshot->uptime, 500.0);
    EXPECT_EQ(snapshot->model, "Apple M1 Max");
    EXPECT_EQ(snapshot->batteryCapacity, (BatteryCapacity {5000, 4500}));
    EXPECT_EQ(machine.smc.calls.size(), 14U);

    machine.brand = kIntel;
    machine.smc.calls.clear();
    EXPECT_EQ(machine.keysRead(machine.snapshot()), (std::vector<std::string> {"F0Ac", "F1Ac", "TB1T"}));
    EXPECT_EQ(machine.smc.calls.size(), 8U);
}

TEST(SensorSnapshotAssembly, FanCountDecidesWhichFansAreRead)
{
    const std::vector<std::pair<FakeSmcKey, std::vector<std::string>>> cases {
        {{"ui8 ", {0}}, {"TB1T"}},
        {{"ui8 ", {1}}, {"F0Ac", "TB1T"}},
        {{"ui8 ", {2}}, {"F0Ac", "F1Ac", "TB1T"}},
        {{"ui8 ", {8}}, {"F0Ac", "F1Ac", "TB1T"}},
        {{"ui8 ", {9}}, {"TB1T"}}, // implausible count: no fan at all
        {{"flt ", floatBytes(2.0F)}, {"TB1T"}},
    };
    for (const auto& [count, expected] : cases) {
        Machine machine;
        machine.smc.keys["FNum"] = count;
        EXPECT_EQ(machine.keysRead(machine.snapshot()), expected) << count.type << int(count.bytes[0]);
    }
    Machine noCount;
    noCount.smc.keys.erase("FNum");
    EXPECT_EQ(noCount.keysRead(noCount.snapshot()), (std::vector<std::string> {"TB1T"}));
}

TEST(SensorSnapshotAssembly, UnreadableOrImplausibleKeysStayAsReadingsWithoutValue)
{
    Machine machine;
    machine.smc.keys["TB1T"] = {"sp78", {0x97, 0x00}}; // 151 °C
    machine.smc.keys.erase("F1Ac");
    const auto snapshot = machine.snapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->readings.at(1), (SensorReading {"F1Ac", SensorReading::Unit::rpm, std::nullopt}));
    EXPECT_EQ(snapshot->readings.at(2), (SensorReading {"TB1T", SensorReading::Unit::celsius, std::nullopt}));
}

TEST(SensorSnapshotAssembly, BrandLengthBoundsIncludeTheTerminatingZero)
{
    Machine machine;
    machine.brand = std::string(128, 'x');
    EXPECT_TRUE(machine.snapshot()); // reported length 129
    machine.reportedBrandLength = 130;
    EXPECT_FALSE(machine.snapshot());
    machine.reportedBrandLength = 1;
    EXPECT_FALSE(machine.snapshot());
    machine.reportedBrandLength.reset();
    machine.brand = std::string("Intel\0junk", 10);
    ASSERT_TRUE(machine.snapshot());
    EXPECT_EQ(machine.snapshot()->model, "Intel"); // up to the first zero byte
    machine.brand = "Intel\tCore";
    EXPECT_FALSE(machine.snapshot()); // decoded, then refused by the validity check
    machine.brand = "Intel \xFF";
    ASSERT_TRUE(machine.snapshot());
    EXPECT_EQ(machine.snapshot()->model, "Intel \uFFFD");
}

TEST(SensorSnapshotAssembly, NoSnapshotWithoutServiceIdOrConnection)
{
    Machine machine;
    machine.smc.present = false;
    EXPECT_FALSE(machine.snapshot());
    machine.smc.present = true;
    machine.smc.registryID = 0;
    EXPECT_FALSE(machine.snapshot());
    machine.smc.registryID.reset();
    EXPECT_FALSE(machine.snapshot());
    machine.smc.registryID = 7;
    machine.smc.opens = false;
    EXPECT_FALSE(machine.snapshot());
    EXPECT_TRUE(machine.smc.calls.empty());
}

TEST(SensorSnapshotAssembly, FreshnessWindowCoversTheBatteryWalk)
{
    Machine machine;
    machine.registry.onNext = [&] { machine.clock.now += 1.0; }; // two steps: 2.0 s
    EXPECT_TRUE(machine.snapshot());
    machine.registry.onNext = [&] { machine.clock.now += 1.000001; };
    EXPECT_FALSE(machine.snapshot());
}

TEST(InternalBattery, CapacityEntriesFallBackToTheServiceOnlyWhenMissing)
{
    Machine machine;
    machine.registry.services = {
        {{"BatteryInstalled", true}, {"BatteryData", RegistryDictionary {{"DesignCapacity", std::int64_t {5000}}}},
            {"NominalChargeCapacity", std::int64_t {4500}}, {"DesignCapacity", std::int64_t {9000}}}};
    EXPECT_EQ(machine.battery(), (BatteryCapacity {5000, 4500}));

    // Present but unusable in the dictionary: no fallback.
    machine.registry.services[0]["BatteryData"] =
        RegistryDictionary {{"DesignCapacity", 4500.5}, {"NominalChargeCapacity", std::int64_t {4500}}};
    EXPECT_EQ(machine.battery(), std::nullopt);
    // A BatteryData that is no dictionary is not used at all.
    machine.registry.services[0]["BatteryData"] = std::string("nope");
    EXPECT_EQ(machine.battery(), (BatteryCapacity {9000, 4500}));
}

TEST(InternalBattery, CapacityValuesMustBeNonNegativeIntegerNumbers)
{
    const std::vector<std::pair<RegistryScalar, std::optional<BatteryCapacity>>> designs {
        {std::int64_t {5000}, BatteryCapacity {5000, 4500}},
        {5000.0, BatteryCapacity {5000, 4500}}, // a whole floating number reads as "5000"
        {true, std::nullopt},
        {4500.5, std::nullopt},
        {1e20, std::nullopt},
        {std::int64_t {-5000}, std::nullopt},
        {std::string("5000"), std::nullopt},
    };
    for (const auto& [design, expected] : designs) {
        Machine machine;
        auto& data = std::get<RegistryDictionary>(machine.registry.services[0]["BatteryData"]);
        data["DesignCapacity"] = design;
        EXPECT_EQ(machine.battery(), expected) << design.index();
    }
}

TEST(InternalBattery, PlausibilityOfTheCapacities)
{
    Machine machine;
    machine.registry.services = {battery(true, 5000, 10'000)};
    EXPECT_EQ(machine.battery(), (BatteryCapacity {5000, 10'000}));
    machine.registry.services = {battery(true, 5000, 10'001)};
    EXPECT_EQ(machine.battery(), std::nullopt);
    machine.registry.services = {battery(true, 999, 500)};
    EXPECT_EQ(machine.battery(), std::nullopt);
}

TEST(InternalBattery, WalkRules)
{
    Machine machine;
    machine.registry.services = {battery(false, 9000, 9000), battery(true)};
    EXPECT_EQ(machine.battery(), (BatteryCapacity {5000, 4500}));
    machine.registry.services = {battery(true), battery(false, 9000, 9000)};
    EXPECT_EQ(machine.battery(), (BatteryCapacity {5000, 4500}));
    machine.registry.services = {battery(true), battery(true)};
    EXPECT_EQ(machine.battery(), std::nullopt);
    machine.registry.services = {battery(false)};
    EXPECT_EQ(machine.battery(), std::nullopt);
    machine.registry.services = {};
    EXPECT_EQ(machine.battery(), std::nullopt);
    // A service that cannot say whether it is installed spoils the walk, wherever it is.
    machine.registry.services = {battery(true), {}};
    EXPECT_EQ(machine.battery(), std::nullopt);
    machine.registry.services = {battery(std::int64_t {1})};
    EXPECT_EQ(machine.battery(), std::nullopt);
    // An implausible installed battery gives no capacity, but the walk still finds a second one.
    machine.registry.services = {battery(true, 10, 10), battery(true)};
    EXPECT_EQ(machine.battery(), std::nullopt);
    machine.registry.listable = false;
    EXPECT_EQ(machine.battery(), std::nullopt);
}

TEST(InternalBattery, SixteenServicesAreWalkedASeventeenthEndsTheWalk)
{
    Machine machine;
    machine.registry.services.assign(15, battery(false));
    machine.registry.services.push_back(battery(true));
    EXPECT_EQ(machine.battery(), (BatteryCapacity {5000, 4500}));
    machine.registry.services.push_back(battery(false));
    machine.registry.nextCalls = 0;
    EXPECT_EQ(machine.battery(), std::nullopt);
    EXPECT_EQ(machine.registry.nextCalls, 17);
}

TEST(InternalBattery, RegistryChangeDuringTheWalkGivesNothing)
{
    Machine machine;
    machine.registry.validAtEnd = false;
    EXPECT_EQ(machine.battery(), std::nullopt);
    const auto snapshot = machine.snapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->batteryCapacity, std::nullopt);
}

} // namespace
} // namespace quorvantile
