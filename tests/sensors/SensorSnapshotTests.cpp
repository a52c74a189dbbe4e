#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <tuple>

namespace quorvantile {
namespace {

using enum SensorReading::Unit;
constexpr double kNow = 1000.0;

SensorSnapshot validSnapshot()
{
    return {1, kNow - 0.5, 42, "Apple M1 Pro", {{"F0Ac", rpm, 1200.0}, {"TB1T", celsius, 30.5}},
        BatteryCapacity {5000, 4500}};
}

TEST(SensorSnapshotValidity, ReadingsAreDistinctKeysOfTheModelsListInRangeAtTheExactBounds)
{
    const double nan = std::nan("");
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<SensorReading> sixAbsent {{"F0Ac", rpm, {}}, {"F1Ac", rpm, {}}, {"TB1T", celsius, {}},
        {"Tp01", celsius, {}}, {"Tp09", celsius, {}}, {"Tg05", celsius, {}}};
    // "Apple M1" and its blank-suffixed variants take six keys, every other model three.
    const std::vector<std::tuple<const char*, std::vector<SensorReading>, bool>> cases {{"Apple M1", sixAbsent, true},
        {"Apple M1 Max", sixAbsent, true}, {"Apple M1Max", sixAbsent, false}, {"Apple M1X", sixAbsent, false},
        {"apple m1", sixAbsent, false}, {"Apple M2 Pro", {{"Tg05", celsius, 50.0}}, false}, {"Apple M2", {}, true},
        {"Apple M2", {{"Tp01", celsius, 50.0}}, false}, {"Apple M2", {{"FNum", rpm, 2.0}}, false},
        {"Apple M2", {{"F0Ac", celsius, 20.0}}, false}, {"Apple M2", {{"TB1T", rpm, 20.0}}, false},
        {"Apple M2", {{"TB1T", celsius, 1.0}, {"TB1T", celsius, 2.0}}, false},
        {"Apple M2", {{"F1Ac", rpm, 20'000}, {"F0Ac", rpm, -0.0}}, true},
        {"Apple M2", {{"F1Ac", rpm, 20'000.5}}, false}, {"Apple M2", {{"F0Ac", rpm, -0.01}}, false},
        {"Apple M2", {{"F0Ac", rpm, infinity}}, false},
        {"Apple M1", {{"TB1T", celsius, -40}, {"Tg05", celsius, 150}}, true},
        {"Apple M2", {{"TB1T", celsius, -40.01}}, false}, {"Apple M1", {{"Tp09", celsius, 150.01}}, false},
        {"Apple M2", {{"TB1T", celsius, nan}}, false}};
    int row = 0;
    for (const auto& [model, readings, valid] : cases) {
        SCOPED_TRACE(row++);
        EXPECT_EQ((SensorSnapshot {1, kNow, 42, model, readings, std::nullopt}).isValid(kNow), valid);
    }
}

TEST(SensorSnapshotValidity, HeaderFreshnessModelAndBatteryCapacityBounds)
{
    using Change = std::function<void(SensorSnapshot&)>;
    const double nan = std::nan("");
    const auto uptime = [](double value) -> Change { return [value](SensorSnapshot& s) { s.uptime = value; }; };
    const auto model = [](std::size_t bytes) -> Change {
        return [bytes](SensorSnapshot& s) { s.model = std::string(bytes, 'x'); };
    };
    const auto capacity = [](std::uint64_t design, std::uint64_t full) -> Change {
        return [=](SensorSnapshot& s) { s.batteryCapacity = BatteryCapacity {design, full}; };
    };
    // The freshness window is inclusive: now may be up to 2 s after the uptime, never before it.
    const std::vector<std::tuple<Change, double, bool>> cases {{[](auto& s) { s.registryID = 0; }, kNow, false},
        {[](auto& s) { s.version = 2; }, kNow, false}, {uptime(998), 1000, true}, {uptime(998), 1000.000001, false},
        {uptime(998), 997.9, false}, {uptime(998), std::numeric_limits<double>::infinity(), false},
        {uptime(998), nan, false}, {uptime(0), 1, true}, {uptime(-0.0), 0, true}, {uptime(-1), 0, false},
        {uptime(nan), 0, false}, {model(128), kNow, true}, {model(129), kNow, false},
        {[](auto& s) { s.model = "Intel\tCore"; }, kNow, false}, {capacity(999, 999), kNow, false},
        {capacity(1'000, 2'000), kNow, true}, {capacity(1'000, 2'001), kNow, false}, {capacity(100'000, 1), kNow, true},
        {capacity(100'001, 1), kNow, false}, {capacity(5'000, 0), kNow, false}};
    int row = 0;
    for (const auto& [change, now, valid] : cases) {
        SCOPED_TRACE(row++);
        auto snapshot = validSnapshot();
        change(snapshot);
        EXPECT_EQ(snapshot.isValid(now), valid);
    }
}

// Stale and invalid snapshots are refused through the assembly's own check (SensorSnapshotAssembly).
TEST(SensorSnapshotDecoding, RefusesEmptyAndOversizedDocuments)
{
    std::string text = json::encode(validSnapshot()).value_or("");
    EXPECT_TRUE(SensorSnapshot::decode(text, kNow));
    EXPECT_FALSE(SensorSnapshot::decode("", kNow));
    text.resize(16'384, ' ');
    EXPECT_TRUE(SensorSnapshot::decode(text, kNow));
    text.push_back(' ');
    EXPECT_FALSE(SensorSnapshot::decode(text, kNow));
}

} // namespace
} // namespace quorvantile
