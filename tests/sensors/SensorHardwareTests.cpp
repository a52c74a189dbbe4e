#include "sensors/SensorFakes.h"
#include "sensors/SensorHardware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <limits>
#include <tuple>

namespace quorvantile {
namespace {

using namespace quorvantile::testing;
namespace hardware = SensorHardware;
using enum SensorReading::Unit;
using Bytes = std::vector<std::uint8_t>;

FakeService battery(RegistryValue installed, std::int64_t design = 5000, std::int64_t full = 4500)
{
    return {1,
        {{"BatteryInstalled", std::move(installed)},
            {"BatteryData", RegistryDictionary {{"DesignCapacity", design}, {"NominalChargeCapacity", full}}}}};
}

// A machine whose SMC has every key and whose registry has one plausible installed battery.
struct Machine {
    FakeSmcState smc;
    FakeRegistry registry {"AppleSmartBattery"};
    FakeProcessorBrand brand;
    FakeClock clock;

    Machine()
    {
        smc.keys = {{"FNum", {"ui8 ", {2}}}, {"F0Ac", {"fpe2", {0x1F, 0x40}}}, {"F1Ac", {"flt ", floatBytes(1500.0F)}}};
        for (const char* key : {"TB1T", "Tp01", "Tp09", "Tg05"}) {
            smc.keys[key] = {"sp78", {0x28, 0x80}};
        }
        registry.services = {battery(true)};
        brand.bytes = "Intel(R) Core(TM) i7-4870HQ CPU @ 2.50GHz";
    }

    std::optional<SensorSnapshot> snapshot()
    {
        FakeSmc port(smc);
        auto result = hardware::snapshot(port, registry, brand, clock);
        EXPECT_EQ(live(smc.token) + live(registry.token), 0);
        return result;
    }

    std::optional<BatteryCapacity> capacity()
    {
        auto result = hardware::batteryCapacity(registry);
        EXPECT_EQ(live(registry.token), 0);
        return result;
    }
};

std::vector<std::string> keysOf(const std::optional<SensorSnapshot>& snapshot)
{
    std::vector<std::string> keys;
    std::ranges::transform(snapshot.value().readings, std::back_inserter(keys), &SensorReading::key);
    return keys;
}

TEST(SmcExchange, RefusesOtherKeysCommandsAndSizesWithoutCalling)
{
    FakeSmcState state;
    FakeSmcConnection connection(state);
    const std::vector<std::tuple<const char*, std::uint8_t, std::uint32_t>> refused {
        {"F2Ac", kSmcReadKeyInformation, 0}, {"#KEY", kSmcReadKeyInformation, 0}, {"F0Ac", 6, 2}, // a write
        {"F0Ac", kSmcReadKeyBytes, 33}};
    for (const auto& [key, command, size] : refused) {
        EXPECT_EQ(hardware::exchange(connection, key, command, size).status, kSmcStatusBadArgument) << key;
    }
    EXPECT_TRUE(state.calls.empty());
    (void)hardware::exchange(connection, "Tg05", kSmcReadKeyBytes, 32);
    EXPECT_EQ(state.calls.size(), 1U);
}

TEST(SmcNumber, TypeByteCountAndRangeMustSuitTheKey)
{
    const auto none = std::nullopt;
    const std::vector<std::tuple<Bytes, const char*, const char*, std::optional<double>>> cases {
        {{0x08}, "ui8 ", "FNum", 8.0}, {{0x09}, "ui8 ", "FNum", none}, {{0x02, 0x00}, "ui8 ", "FNum", none},
        {{}, "ui8 ", "FNum", none}, {floatBytes(2.0F), "flt ", "FNum", none}, {{0x1F, 0x40}, "fpe2", "F0Ac", 2000.0},
        {{0x1F, 0x43}, "fpe2", "F0Ac", 2000.75}, // the two fractional bits count
        {{0x1F, 0x40}, "sp78", "F0Ac", none}, {floatBytes(0.0F), "flt ", "F0Ac", 0.0},
        {floatBytes(-0.5F), "flt ", "F0Ac", none}, {floatBytes(20'000.0F), "flt ", "F1Ac", 20'000.0},
        {floatBytes(20'000.5F), "flt ", "F1Ac", none}, {{0x28, 0x80}, "sp78", "TB1T", 40.5},
        {{0xD8, 0x00}, "sp78", "TB1T", -40.0}, {{0xD7, 0xFF}, "sp78", "TB1T", none},
        {{0x96, 0x00}, "sp78", "TB1T", none}, // signed: -106, not 150
        {{0x28, 0x80}, "SP78", "TB1T", none}, {{0x28, 0x80}, "fpe2", "TB1T", none},
        {{0x28, 0x80, 0, 0}, "sp78", "TB1T", none}, {{0x00, 0x00, 0x16, 0x43}, "flt ", "Tp01", 150.0},
        {floatBytes(150.01F), "flt ", "Tp01", none}, {{0x00, 0x42}, "flt ", "Tp01", none},
        {floatBytes(std::numeric_limits<float>::quiet_NaN()), "flt ", "Tp01", none},
        {floatBytes(std::numeric_limits<float>::infinity()), "flt ", "Tg05", none}};
    for (const auto& [bytes, type, key, expected] : cases) {
        EXPECT_EQ(hardware::number(bytes, type, key), expected) << key << " " << type << " " << bytes.size();
    }
}

TEST(SmcRead, AsksForTheReportedSizeAndStopsAtTheFirstBadAnswer)
{
    const Bytes value {0x28, 0x80};
    const std::uint8_t information = kSmcReadKeyInformation;
    const std::uint8_t bytes = kSmcReadKeyBytes;
    const std::vector<std::tuple<FakeSmcKey, std::size_t, std::optional<double>>> cases {{{"sp78", value}, 2, 40.5},
        {{"sp78", value, {}, information}, 1, {}}, {{"sp78", value, {}, information, SmcBreak::length}, 1, {}},
        {{"sp78", value, {}, information, SmcBreak::result}, 1, {}}, {{"sp78", value, 0}, 1, {}},
        {{"sp78", value, 33}, 1, {}}, {{"\xB7p78", value}, 1, {}}, // a type name that is not ASCII
        {{"sp78", value, {}, bytes}, 2, {}}, {{"sp78", value, {}, bytes, SmcBreak::length}, 2, {}},
        {{"sp78", value, {}, bytes, SmcBreak::result}, 2, {}}};
    const std::vector<SmcCall> both {{"TB1T", information, 0}, {"TB1T", bytes, 2}};
    int row = 0;
    for (const auto& [key, calls, expected] : cases) {
        SCOPED_TRACE(row++);
        FakeSmcState state;
        state.keys["TB1T"] = key;
        FakeSmcConnection connection(state);
        EXPECT_EQ(hardware::read(connection, "TB1T"), expected);
        EXPECT_EQ(state.calls, std::vector(both.begin(), both.begin() + static_cast<std::ptrdiff_t>(calls)));
    }
}

TEST(SensorSnapshotAssembly, ReadsTheModelsKeysInOrderWithinFourteenCalls)
{
    Machine machine;
    machine.brand.bytes = "Apple M1 Max";
    EXPECT_EQ(machine.snapshot(),
        (SensorSnapshot {1, 500.0, 0x1000'0000'2a, "Apple M1 Max",
            {{"F0Ac", rpm, 2000.0}, {"F1Ac", rpm, 1500.0}, {"TB1T", celsius, 40.5}, {"Tp01", celsius, 40.5},
                {"Tp09", celsius, 40.5}, {"Tg05", celsius, 40.5}},
            BatteryCapacity {5000, 4500}}));
    EXPECT_EQ(machine.smc.calls.size(), 14U);

    // Unreadable or implausible keys stay as readings without a value.
    machine.brand.bytes = "Apple M2";
    machine.smc.keys["TB1T"] = {"sp78", {0x97, 0x00}}; // 151 °C
    machine.smc.keys.erase("F1Ac");
    machine.smc.calls.clear();
    EXPECT_EQ(machine.snapshot().value().readings,
        (std::vector<SensorReading> {
            {"F0Ac", rpm, 2000.0}, {"F1Ac", rpm, std::nullopt}, {"TB1T", celsius, std::nullopt}}));
    EXPECT_EQ(machine.smc.calls.size(), 7U); // no read exchange for the missing key
}

TEST(SensorSnapshotAssembly, FanCountDecidesWhichFansAreRead)
{
    const std::vector<std::string> none {"TB1T"};
    const std::vector<std::pair<FakeSmcKey, std::vector<std::string>>> counts {{{"ui8 ", {0}}, none},
        {{"ui8 ", {1}}, {"F0Ac", "TB1T"}}, {{"ui8 ", {8}}, {"F0Ac", "F1Ac", "TB1T"}},
        {{"ui8 ", {9}}, none}, // implausible: no fan at all
        {{"flt ", floatBytes(2.0F)}, none}, {{"ui8 ", {2}, {}, kSmcReadKeyInformation}, none}};
    int row = 0;
    for (const auto& [count, expected] : counts) {
        SCOPED_TRACE(row++);
        Machine machine;
        machine.smc.keys["FNum"] = count;
        EXPECT_EQ(keysOf(machine.snapshot()), expected);
    }
}

TEST(SensorSnapshotAssembly, NoSnapshotWithoutServiceIdConnectionBrandOrWithinTheFreshnessWindow)
{
    const struct {
        const char* what;
        std::function<void(Machine&)> change;
        bool snapshot;
    } rows[] = {
        {"no service", [](Machine& m) { m.smc.present = false; }, false},
        {"service id 0", [](Machine& m) { m.smc.registryID = 0; }, false},
        {"no service id", [](Machine& m) { m.smc.registryID.reset(); }, false},
        {"no connection", [](Machine& m) { m.smc.opens = false; }, false},
        {"128 bytes of brand, 129 with the zero", [](Machine& m) { m.brand.bytes = std::string(128, 'x'); }, true},
        {"brand length 130", [](Machine& m) { m.brand.reportedLength = 130; }, false},
        {"brand length 1: only the zero", [](Machine& m) { m.brand.reportedLength = 1; }, false},
        {"a battery walk of 2 s", [](Machine& m) { m.registry.onNext = [&m] { m.clock.now += 1.0; }; }, true},
        {"a longer walk", [](Machine& m) { m.registry.onNext = [&m] { m.clock.now += 1.000001; }; }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Machine machine;
        row.change(machine);
        EXPECT_EQ(machine.snapshot().has_value(), row.snapshot);
    }
    Machine machine;
    machine.brand.bytes = std::string("Intel\0junk", 10); // the model ends at the first zero byte
    EXPECT_EQ(machine.snapshot().value().model, "Intel");
    machine.brand.bytes = "Intel \xFF"; // decoded, not refused
    EXPECT_EQ(machine.snapshot().value().model, "Intel \uFFFD");
}

TEST(InternalBattery, CapacitiesAreWholeNonNegativeNumbersTakenFromTheDataDictionaryFirst)
{
    const auto data = [](RegistryScalar design) {
        return RegistryDictionary {
            {"DesignCapacity", std::move(design)}, {"NominalChargeCapacity", std::int64_t {4500}}};
    };
    const std::vector<std::pair<RegistryValue, std::optional<BatteryCapacity>>> cases {
        {data(std::int64_t {5000}), BatteryCapacity {5000, 4500}},
        {data(5000.0), BatteryCapacity {5000, 4500}}, // a whole floating number reads as "5000"
        {data(100000.0), BatteryCapacity {100000, 4500}}, // its digits, not "1e+05"
        {data(4500.5), std::nullopt}, // present but unusable: no fallback to the service's own entry
        {data(1e20), std::nullopt}, {data(std::int64_t {-5000}), std::nullopt}, {data(true), std::nullopt},
        {data(std::string("5000")), std::nullopt},
        {RegistryDictionary {{"DesignCapacity", std::int64_t {5000}}}, BatteryCapacity {5000, 9000}},
        {std::string("not a dictionary"), BatteryCapacity {9000, 9000}}};
    int row = 0;
    for (const auto& [batteryData, expected] : cases) {
        SCOPED_TRACE(row++);
        Machine machine;
        auto& properties = machine.registry.services[0].properties;
        properties["BatteryData"] = batteryData;
        properties["DesignCapacity"] = properties["NominalChargeCapacity"] = std::int64_t {9000};
        EXPECT_EQ(machine.capacity(), expected);
    }
}

TEST(InternalBattery, WalkRulesAndTheirLimit)
{
    const std::optional<BatteryCapacity> none;
    const std::vector<std::pair<std::vector<FakeService>, std::optional<BatteryCapacity>>> walks {
        {{battery(false, 9000, 9000), battery(true)}, BatteryCapacity {5000, 4500}},
        {{battery(true), battery(false, 9000, 9000)}, BatteryCapacity {5000, 4500}},
        {{battery(true), battery(true)}, none}, // two installed: no single capacity
        {{battery(true, 10, 10), battery(true)}, none}, // an implausible one still counts
        {{battery(false)}, none}, {{}, none},
        // A service that cannot say whether it is installed spoils the walk, wherever it is.
        {{battery(true), {}}, none}, {{battery(std::int64_t {1})}, none}};
    int row = 0;
    for (const auto& [services, expected] : walks) {
        SCOPED_TRACE(row++);
        Machine machine;
        machine.registry.services = services;
        EXPECT_EQ(machine.capacity(), expected);
    }
    // An unlistable or changing registry gives no capacity, and the snapshot goes on without one.
    for (const auto broken : {&FakeRegistry::listable, &FakeRegistry::staysValid}) {
        Machine machine;
        machine.registry.*broken = false;
        EXPECT_EQ(machine.capacity(), none);
        EXPECT_EQ(machine.snapshot().value().batteryCapacity, none);
    }

    // Sixteen services are walked; a seventeenth ends the walk.
    Machine machine;
    machine.registry.services.assign(15, battery(false));
    machine.registry.services.push_back(battery(true));
    EXPECT_EQ(machine.capacity(), (BatteryCapacity {5000, 4500}));
    machine.registry.services.push_back(battery(false));
    int steps = 0;
    machine.registry.onNext = [&] { ++steps; };
    EXPECT_EQ(machine.capacity(), std::nullopt);
    EXPECT_EQ(steps, 17);
}

} // namespace
} // namespace quorvantile
