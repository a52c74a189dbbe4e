#include "sensors/AccessoryBatterySnapshot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

namespace quorvantile {
namespace {

using Transport = AccessoryBatteryReading::Transport;

const AccessoryBatteryReading kMouse {18446744073709551615ULL, "Mouse", Transport::bluetooth, 42};
const AccessoryBatteryReading kKeys {2, " Keys", Transport::usb, std::nullopt};

TEST(AccessoryBatteryReadingValidity, NeedsAnIdADescribableNameAndAPercentIn0To100)
{
    EXPECT_TRUE(kMouse.isValid());
    EXPECT_TRUE(kKeys.isValid());
    const auto with = [](auto change) {
        AccessoryBatteryReading reading = kMouse;
        change(reading);
        return reading.isValid();
    };
    EXPECT_FALSE(with([](auto& r) { r.registryID = 0; }));
    EXPECT_TRUE(with([](auto& r) { r.percent = 0; }));
    EXPECT_TRUE(with([](auto& r) { r.percent = 100; }));
    EXPECT_FALSE(with([](auto& r) { r.percent = 101; }));
    EXPECT_FALSE(with([](auto& r) { r.percent = -1; }));
    EXPECT_TRUE(with([](auto& r) { r.name = std::string(126, 'm') + "\u00E9"; })); // 128 bytes
    EXPECT_FALSE(with([](auto& r) { r.name = std::string(127, 'm') + "\u00E9"; })); // 129 bytes
    for (const char* name : {"", "   ", "\u2028\u00A0", "Tab\t", "Soft\u00ADhyphen", "\xFF"}) {
        EXPECT_FALSE(with([&](auto& r) { r.name = name; })) << name;
    }
}

TEST(AccessoryBatterySnapshotValidity, ChecksVersionAndAFreshnessWindowThatIsInclusive)
{
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<std::tuple<std::int64_t, double, double, bool>> cases {{1, 100, 102, true},
        {1, 100, 102.000001, false}, {2, 10, 10, false}, {1, 0, 1, true}, {1, -0.0, 0, true}, {1, 5e-324, 1, true},
        {1, -1, 0, false}, {1, infinity, infinity, false}, {1, std::nan(""), 1, false}, {1, 1, infinity, false},
        {1, 1, 0.5, false}};
    for (const auto& [version, uptime, now, valid] : cases) {
        EXPECT_EQ((AccessoryBatterySnapshot {version, uptime, false, {kMouse}}).isValid(now), valid)
            << version << " " << uptime << " " << now;
    }
}

TEST(AccessoryBatterySnapshotValidity, AtMost32ValidReadingsWithDistinctIds)
{
    AccessoryBatterySnapshot snapshot {1, 1.0, true, {}};
    for (std::uint64_t id = 1; id <= 32; ++id) {
        snapshot.readings.push_back({id, "Pad", Transport::usb, 1});
    }
    EXPECT_TRUE(snapshot.isValid(1.0));
    snapshot.readings.push_back({33, "Pad", Transport::usb, 1});
    EXPECT_FALSE(snapshot.isValid(1.0));

    EXPECT_FALSE((AccessoryBatterySnapshot {1, 1.0, false, {kMouse, kKeys, kMouse}}).isValid(1.0));
    EXPECT_FALSE((AccessoryBatterySnapshot {1, 1.0, false, {kKeys, {3, "Pad", Transport::usb, -1}}}).isValid(1.0));
    EXPECT_FALSE((AccessoryBatterySnapshot {1, 1.0, false, {{0, "Pad", Transport::usb, 1}}}).isValid(1.0));
}

TEST(AccessoryBatteryJson, WritesFieldsInOrderAndLeavesAnAbsentPercentOut)
{
    const AccessoryBatterySnapshot snapshot {1, 12.5, true, {kKeys, kMouse}};
    const auto text = json::encode(snapshot);
    EXPECT_EQ(text,
        R"({"version":1,"uptime":12.5,"incomplete":true,"readings":[)"
        R"({"registryID":2,"name":" Keys","transport":"USB"},)"
        R"({"registryID":18446744073709551615,"name":"Mouse","transport":"Bluetooth","percent":42}]})");
    EXPECT_EQ(json::decode<AccessoryBatterySnapshot>(text.value_or("")), snapshot);
    EXPECT_EQ(json::encode(AccessoryBatteryReading {5, "K", Transport::bluetoothLowEnergy, 0}),
        R"({"registryID":5,"name":"K","transport":"BluetoothLowEnergy","percent":0})");
}

TEST(AccessoryBatteryJson, ReadsByNameAndRefusesUnknownTransports)
{
    EXPECT_EQ(json::decode<AccessoryBatteryReading>(
                  R"({"extra":[1],"percent":null,"transport":"USB","name":"Keys","registryID":3})"),
        (AccessoryBatteryReading {3, "Keys", Transport::usb, std::nullopt}));
    EXPECT_FALSE(json::decode<AccessoryBatteryReading>(R"({"registryID":3,"name":"K","transport":"bluetooth"})"));
    EXPECT_FALSE(json::decode<AccessoryBatteryReading>(R"({"registryID":3,"name":"K"})"));
    EXPECT_FALSE(json::decode<AccessoryBatteryReading>(R"({"registryID":-3,"name":"K","transport":"USB"})"));
    EXPECT_FALSE(json::decode<AccessoryBatterySnapshot>(R"({"version":1,"uptime":1,"readings":[]})"));
    EXPECT_EQ(transportFromRawValue("BluetoothLowEnergy"), Transport::bluetoothLowEnergy);
    EXPECT_FALSE(transportFromRawValue("USB "));
}

} // namespace
} // namespace quorvantile
