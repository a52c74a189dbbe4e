#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvantile {
namespace {

constexpr double kNow = 1000.0;

SensorSnapshot validSnapshot()
{
    return {1, kNow - 0.5, 42, "Apple M1 Pro",
        {{"F0Ac", SensorReading::Unit::rpm, 1200.0}, {"TB1T", SensorReading::Unit::celsius, 30.5}},
        BatteryCapacity {5000, 4500}};
}

std::vector<std::string> keyList(std::string_view model)
{
    const auto keys = SensorSnapshot::keys(model);
    return {keys.begin(), keys.end()};
}

TEST(SensorSnapshotKeys, OnlyAppleM1AndItsBlankSuffixedVariantsTakeSixKeys)
{
    const std::vector<std::string> six {"F0Ac", "F1Ac", "TB1T", "Tp01", "Tp09", "Tg05"};
    const std::vector<std::string> three {"F0Ac", "F1Ac", "TB1T"};
    EXPECT_EQ(keyList("Apple M1"), six);
    EXPECT_EQ(keyList("Apple M1 Max"), six);
    for (const char* model : {"Apple M1Max", "Apple M1X", "Apple M2 Pro", "Apple M10", "apple m1", "",
             "Intel(R) Core(TM) i7-4870HQ CPU @ 2.50GHz"}) {
        EXPECT_EQ(keyList(model), three) << model;
    }
}

TEST(SensorSnapshotValidity, ReadingKeysMustBelongToTheModelsList)
{
    auto snapshot = validSnapshot();
    snapshot.readings.push_back({"Tp01", SensorReading::Unit::celsius, 50.0});
    EXPECT_TRUE(snapshot.isValid(kNow));
    snapshot.model = "Apple M2";
    EXPECT_FALSE(snapshot.isValid(kNow));
    snapshot.readings = {{"FNum", SensorReading::Unit::rpm, 2.0}}; // the fan count is never a reading
    EXPECT_FALSE(snapshot.isValid(kNow));
}

TEST(SensorSnapshotValidity, UnitFollowsTheKeysFirstLetter)
{
    auto snapshot = validSnapshot();
    snapshot.readings = {{"F0Ac", SensorReading::Unit::celsius, 20.0}};
    EXPECT_FALSE(snapshot.isValid(kNow));
    snapshot.readings = {{"TB1T", SensorReading::Unit::rpm, 20.0}};
    EXPECT_FALSE(snapshot.isValid(kNow));
}

TEST(SensorSnapshotValidity, ValueRangesAreInclusiveAtTheirExactBounds)
{
    const auto valid = [](const char* key, double value) {
        auto snapshot = validSnapshot();
        snapshot.readings = {{key, unitForKey(key), value}};
        return snapshot.isValid(kNow);
    };
    EXPECT_TRUE(valid("F1Ac", 20'000));
    EXPECT_FALSE(valid("F1Ac", 20'000.5));
    EXPECT_TRUE(valid("F1Ac", -0.0));
    EXPECT_FALSE(valid("F1Ac", -1));
    EXPECT_TRUE(valid("TB1T", -40));
    EXPECT_TRUE(valid("TB1T", 150));
    EXPECT_FALSE(valid("TB1T", -40.01));
    EXPECT_FALSE(valid("TB1T", 150.01));
    EXPECT_FALSE(valid("TB1T", std::nan("")));
    EXPECT_FALSE(valid("F0Ac", std::numeric_limits<double>::infinity()));
}

TEST(SensorSnapshotValidity, ReadingCountAndDistinctKeys)
{
    auto snapshot = validSnapshot();
    snapshot.readings = {};
    EXPECT_TRUE(snapshot.isValid(kNow));
    for (const char* key : {"F0Ac", "F1Ac", "TB1T", "Tp01", "Tp09", "Tg05"}) {
        snapshot.readings.push_back({key, unitForKey(key), std::nullopt}); // all absent is still valid
    }
    EXPECT_TRUE(snapshot.isValid(kNow));
    snapshot.readings.push_back({"Tp01", SensorReading::Unit::celsius, std::nullopt});
    EXPECT_FALSE(snapshot.isValid(kNow)); // seven
    snapshot.readings = {{"TB1T", SensorReading::Unit::celsius, 1.0}, {"TB1T", SensorReading::Unit::celsius, 2.0}};
    EXPECT_FALSE(snapshot.isValid(kNow));
}

TEST(SensorSnapshotValidity, BatteryCapacityBounds)
{
    const auto valid = [](std::optional<BatteryCapacity> capacity) {
        auto snapshot = validSnapshot();
        snapshot.batteryCapacity = capacity;
        return snapshot.isValid(kNow);
    };
    EXPECT_TRUE(valid(std::nullopt));
    EXPECT_FALSE(valid(BatteryCapacity {999, 999}));
    EXPECT_TRUE(valid(BatteryCapacity {1'000, 2'000}));
    EXPECT_FALSE(valid(BatteryCapacity {1'000, 2'001}));
    EXPECT_TRUE(valid(BatteryCapacity {100'000, 1}));
    EXPECT_FALSE(valid(BatteryCapacity {100'001, 1}));
    EXPECT_FALSE(valid(BatteryCapacity {5'000, 0}));
}

TEST(SensorSnapshotValidity, FreshnessWindowIsInclusive)
{
    auto snapshot = validSnapshot();
    snapshot.uptime = 998.0;
    EXPECT_TRUE(snapshot.isValid(1000.0));
    EXPECT_FALSE(snapshot.isValid(1000.000001));
    EXPECT_FALSE(snapshot.isValid(997.9)); // from the future
    EXPECT_FALSE(snapshot.isValid(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(snapshot.isValid(std::nan("")));
    snapshot.uptime = 0;
    EXPECT_TRUE(snapshot.isValid(1.0));
    snapshot.uptime = -0.0;
    EXPECT_TRUE(snapshot.isValid(0.0));
    snapshot.uptime = -1;
    EXPECT_FALSE(snapshot.isValid(0.0));
    snapshot.uptime = std::nan("");
    EXPECT_FALSE(snapshot.isValid(0.0));
}

TEST(SensorSnapshotValidity, HeaderAndModelRules)
{
    auto snapshot = validSnapshot();
    snapshot.registryID = 0;
    EXPECT_FALSE(snapshot.isValid(kNow));
    snapshot = validSnapshot();
    snapshot.version = 2;
    EXPECT_FALSE(snapshot.isValid(kNow));
    snapshot = validSnapshot();
    snapshot.readings.clear();
    snapshot.model = std::string(128, 'x');
    EXPECT_TRUE(snapshot.isValid(kNow));
    snapshot.model = std::string(129, 'x');
    EXPECT_FALSE(snapshot.isValid(kNow));
    for (const char* model : {"", "Intel\tCore", "Intel\nCore", "Apple\u200BM1", "bad \xFF utf-8"}) {
        snapshot.model = model;
        EXPECT_FALSE(snapshot.isValid(kNow)) << model;
    }
}

TEST(SensorSnapshotJson, WritesFieldsInOrderAndLeavesAbsentOptionalsOut)
{
    SensorSnapshot snapshot {1, 12.5, 18446744073709551615ULL, "Apple M1",
        {{"F0Ac", SensorReading::Unit::rpm, 0.1}, {"TB1T", SensorReading::Unit::celsius, std::nullopt}}, std::nullopt};
    EXPECT_EQ(json::encode(snapshot),
        R"({"version":1,"uptime":12.5,"registryID":18446744073709551615,"model":"Apple M1","readings":)"
        R"([{"key":"F0Ac","unit":"rpm","value":0.1},{"key":"TB1T","unit":"celsius"}]})");
    snapshot.batteryCapacity = BatteryCapacity {5000, 4500};
    const auto text = json::encode(snapshot);
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->ends_with(R"("batteryCapacity":{"designMilliampHours":5000,"fullChargeMilliampHours":4500}})"));
    EXPECT_EQ(json::decode<SensorSnapshot>(*text), snapshot);
    snapshot.readings[0].value = -0.0;
    EXPECT_NE(json::encode(snapshot), text);
    EXPECT_EQ(json::decode<SensorSnapshot>(*json::encode(snapshot))->readings[0],
        (SensorReading {"F0Ac", SensorReading::Unit::rpm, 0.0}));
}

TEST(SensorSnapshotDecoding, GuardsSizeTypesAndValidity)
{
    const std::string valid = R"({"version":1,"uptime":999.5,"registryID":42,"model":"Apple M1","readings":)"
                              R"([{"key":"TB1T","unit":"celsius","value":null}],"batteryCapacity":null,"extra":[1]})";
    const auto decoded = SensorSnapshot::decode(valid, kNow);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->readings.at(0).value, std::nullopt);
    EXPECT_EQ(decoded->batteryCapacity, std::nullopt);

    std::string padded = valid;
    padded.resize(16'384, ' ');
    EXPECT_TRUE(SensorSnapshot::decode(padded, kNow));
    padded.push_back(' ');
    EXPECT_FALSE(SensorSnapshot::decode(padded, kNow));
    EXPECT_FALSE(SensorSnapshot::decode("", kNow));
    EXPECT_FALSE(SensorSnapshot::decode(valid, kNow + 2.5)); // stale

    const auto replaced = [&](std::string_view from, std::string_view to) {
        std::string text = valid;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    EXPECT_FALSE(SensorSnapshot::decode(replaced(R"("celsius")", R"("kelvin")"), kNow));
    EXPECT_FALSE(SensorSnapshot::decode(replaced(R"("registryID":42)", R"("registryID":"42")"), kNow));
    EXPECT_FALSE(SensorSnapshot::decode(replaced(R"("version":1,)", ""), kNow));
    EXPECT_FALSE(SensorSnapshot::decode(replaced(R"("key":"TB1T",)", ""), kNow));
    EXPECT_FALSE(SensorSnapshot::decode(replaced(R"("batteryCapacity":null)", R"("batteryCapacity":{})"), kNow));
    EXPECT_FALSE(SensorSnapshot::decode(replaced(R"("value":null)", R"("value":"1")"), kNow));
}

} // namespace
} // namespace quorvantile
