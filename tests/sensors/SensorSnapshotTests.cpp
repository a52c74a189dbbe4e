#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>

#include <cmath>
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

TEST(SensorSnapshotKeys, OnlyAppleM1AndItsBlankSuffixedVariantsTakeSixKeys)
{
    const std::vector<std::pair<const char*, std::size_t>> models {{"Apple M1", 6}, {"Apple M1 Max", 6},
        {"Apple M1Max", 3}, {"Apple M1X", 3}, {"Apple M2 Pro", 3}, {"apple m1", 3}, {"", 3}};
    for (const auto& [model, count] : models) {
        EXPECT_EQ(SensorSnapshot::keys(model).size(), count) << model;
    }
}

TEST(SensorSnapshotValidity, ReadingsAreDistinctKeysOfTheModelsListInRangeAtTheExactBounds)
{
    const double nan = std::nan("");
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<SensorReading> sixAbsent {{"F0Ac", rpm, {}}, {"F1Ac", rpm, {}}, {"TB1T", celsius, {}},
        {"Tp01", celsius, {}}, {"Tp09", celsius, {}}, {"Tg05", celsius, {}}};
    const std::vector<std::tuple<const char*, std::vector<SensorReading>, bool>> cases {{"Apple M1", sixAbsent, true},
        {"Apple M2", {}, true}, {"Apple M2", {{"Tp01", celsius, 50.0}}, false},
        {"Apple M2", {{"FNum", rpm, 2.0}}, false}, {"Apple M2", {{"F0Ac", celsius, 20.0}}, false},
        {"Apple M2", {{"TB1T", rpm, 20.0}}, false},
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

TEST(SensorSnapshotValidity, HeaderModelAndBatteryCapacityBounds)
{
    auto snapshot = validSnapshot();
    snapshot.registryID = 0;
    EXPECT_FALSE(snapshot.isValid(kNow));
    snapshot = validSnapshot();
    snapshot.version = 2;
    EXPECT_FALSE(snapshot.isValid(kNow));
    const std::vector<std::pair<std::string, bool>> models {
        {std::string(128, 'x'), true}, {std::string(129, 'x'), false}, {"", false}, {"Intel\tCore", false}};
    for (const auto& [model, valid] : models) {
        snapshot = validSnapshot();
        snapshot.model = model;
        EXPECT_EQ(snapshot.isValid(kNow), valid) << model;
    }
    const std::vector<std::tuple<std::uint64_t, std::uint64_t, bool>> capacities {{999, 999, false},
        {1'000, 2'000, true}, {1'000, 2'001, false}, {100'000, 1, true}, {100'001, 1, false}, {5'000, 0, false}};
    for (const auto& [design, fullCharge, valid] : capacities) {
        snapshot = validSnapshot();
        snapshot.batteryCapacity = BatteryCapacity {design, fullCharge};
        EXPECT_EQ(snapshot.isValid(kNow), valid) << design << " " << fullCharge;
    }
}

TEST(SensorSnapshotValidity, FreshnessWindowIsInclusive)
{
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<std::tuple<double, double, bool>> cases {{998, 1000, true}, {998, 1000.000001, false},
        {998, 997.9, false}, {998, infinity, false}, {998, std::nan(""), false}, {0, 1, true}, {-0.0, 0, true},
        {-1, 0, false}, {std::nan(""), 0, false}};
    for (const auto& [uptime, now, valid] : cases) {
        auto snapshot = validSnapshot();
        snapshot.uptime = uptime;
        EXPECT_EQ(snapshot.isValid(now), valid) << uptime << " " << now;
    }
}

TEST(SensorSnapshotJson, KeysInDeclaredOrderAndRoundTrip)
{
    SensorSnapshot snapshot {1, 999.5, 18446744073709551615ULL, "Apple M1",
        {{"F0Ac", rpm, 0.1}, {"TB1T", celsius, std::nullopt}}, std::nullopt};
    EXPECT_EQ(json::encode(snapshot),
        R"({"version":1,"uptime":999.5,"registryID":18446744073709551615,"model":"Apple M1","readings":)"
        R"([{"key":"F0Ac","unit":"rpm","value":0.1},{"key":"TB1T","unit":"celsius"}]})");
    snapshot.batteryCapacity = BatteryCapacity {5000, 4500};
    const std::string text = json::encode(snapshot).value_or("");
    EXPECT_TRUE(text.ends_with(R"("batteryCapacity":{"designMilliampHours":5000,"fullChargeMilliampHours":4500}})"));
    EXPECT_EQ(json::decode<SensorSnapshot>(text), snapshot);
}

TEST(SensorSnapshotDecoding, RefusesEmptyOversizedStaleAndInvalidDocuments)
{
    std::string text = json::encode(validSnapshot()).value_or("");
    EXPECT_TRUE(SensorSnapshot::decode(text, kNow));
    EXPECT_FALSE(SensorSnapshot::decode(text, kNow + 2.0));
    EXPECT_FALSE(SensorSnapshot::decode("", kNow));
    text.resize(16'384, ' ');
    EXPECT_TRUE(SensorSnapshot::decode(text, kNow));
    text.push_back(' ');
    EXPECT_FALSE(SensorSnapshot::decode(text, kNow));
    auto invalid = validSnapshot();
    invalid.registryID = 0;
    EXPECT_FALSE(SensorSnapshot::decode(json::encode(invalid).value_or(""), kNow));
}

} // namespace
} // namespace quorvantile
