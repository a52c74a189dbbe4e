#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/SensorFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <tuple>

namespace quorvantile {
namespace {

using testing::FakeClock;
using testing::FakeRegistry;
using testing::FakeService;
using Transport = AccessoryBatteryReading::Transport;

const AccessoryBatteryReading kMouse {18446744073709551615ULL, "Mouse", Transport::bluetooth, 42};
const AccessoryBatteryReading kKeys {2, " Keys", Transport::usb, std::nullopt};

FakeService accessory(std::uint64_t id, RegistryValue percent = std::int64_t {50}, std::string name = "Mouse")
{
    return {
        id, {{"BatteryPercent", std::move(percent)}, {"Transport", std::string("USB")}, {"Product", std::move(name)}}};
}

FakeRegistry registryOf(std::vector<FakeService> services)
{
    FakeRegistry registry("AppleDeviceManagementHIDEventService");
    registry.services = std::move(services);
    return registry;
}

// The reader takes the uptime after the walk and `now` after sorting: `step` seconds apart.
std::optional<AccessoryBatterySnapshot> walk(FakeRegistry& registry, double uptime = 100.0, double step = 0.5)
{
    FakeClock clock;
    clock.now = uptime;
    clock.step = step;
    auto result = AccessoryBatteryHardware::snapshot(registry, clock);
    EXPECT_EQ(testing::live(registry.token), 0);
    return result;
}

std::vector<std::uint64_t> ids(const std::optional<AccessoryBatterySnapshot>& snapshot)
{
    std::vector<std::uint64_t> result;
    std::ranges::transform(snapshot.value().readings, std::back_inserter(result), &AccessoryBatteryReading::registryID);
    return result;
}

TEST(AccessoryBatterySnapshotValidity, VersionAndAtMost32ValidReadingsWithDistinctIds)
{
    const auto valid = [](std::int64_t version, std::vector<AccessoryBatteryReading> readings) {
        return AccessoryBatterySnapshot {version, 1.0, false, std::move(readings)}.isValid(1.0);
    };
    std::vector<AccessoryBatteryReading> pads;
    for (std::uint64_t id = 1; id <= 33; ++id) {
        pads.push_back({id, "Pad", Transport::usb, 1});
    }
    EXPECT_FALSE(valid(2, {kMouse}));
    EXPECT_TRUE(valid(1, {pads.begin(), pads.end() - 1}));
    EXPECT_FALSE(valid(1, pads));
    EXPECT_FALSE(valid(1, {kMouse, kKeys, kMouse}));
    EXPECT_TRUE(valid(1, {kKeys, {3, "Pad", Transport::usb, 100}}));
    EXPECT_FALSE(valid(1, {kKeys, {3, "Pad", Transport::usb, 101}}));
    EXPECT_FALSE(valid(1, {kKeys, {3, "Pad", Transport::usb, -1}}));
    EXPECT_FALSE(valid(1, {kKeys, {0, "Pad", Transport::usb, 1}}));
}

TEST(AccessoryBatteryWalk, ListsAccessoriesOfTheHidEventClassAndPassesOverOtherServicesSilently)
{
    auto registry = registryOf(
        {accessory(1), accessory(2), accessory(3), accessory(4), accessory(7, std::int64_t {100}, "  Keys")});
    registry.services[0].properties.erase("BatteryPercent");
    registry.services[1].properties["Transport"] = std::int64_t {3};
    registry.services[2].properties["Transport"] = std::string("usb");
    registry.services[3].properties.erase("Transport");
    registry.services[4].properties["Transport"] = std::string("BluetoothLowEnergy");
    EXPECT_EQ(walk(registry),
        (AccessoryBatterySnapshot {1, 100.0, false, {{7, "  Keys", Transport::bluetoothLowEnergy, 100}}}));
}

TEST(AccessoryBatteryWalk, AccessoriesThatCannotBeDescribedMakeTheSnapshotIncomplete)
{
    // 128 bytes are a name, 129 are not: bytes, not characters.
    for (const RegistryValue& product : {RegistryValue(std::int64_t {1}), RegistryValue(std::string(" \t")),
             RegistryValue(std::string(127, 'x') + "\u00E9"), RegistryValue(std::string("Tab\tMouse"))}) {
        auto registry = registryOf({accessory(1, std::int64_t {50}, std::string(126, 'k') + "\u00E9"), accessory(2)});
        registry.services[1].properties["Product"] = product;
        EXPECT_EQ(ids(walk(registry)), std::vector<std::uint64_t> {1});
        EXPECT_TRUE(walk(registry).value().incomplete);
    }
    auto withoutProduct = registryOf({accessory(1)});
    withoutProduct.services[0].properties.erase("Product");
    EXPECT_EQ(walk(withoutProduct), (AccessoryBatterySnapshot {1, 100.0, true, {}}));
}

TEST(AccessoryBatteryWalk, TheWalksNotesTravelWithTheSnapshotAndMissingServicesMakeItIncomplete)
{
    for (const bool missing : {false, true}) {
        auto registry = registryOf({accessory(1)});
        registry.notes = {{"a source was away", false}, {"a source was slow", missing}};
        FakeClock clock;
        const auto result = AccessoryBatteryHardware::snapshot(registry, clock);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->readings.size(), 1U);
        EXPECT_EQ(result->incomplete, missing);
        EXPECT_EQ(result.notes(), (std::vector<std::string> {"a source was away", "a source was slow"}));
    }
}

TEST(AccessoryBatteryWalk, PercentIsAWholeNumberFrom0To100OrAbsent)
{
    const std::vector<std::pair<RegistryValue, std::optional<std::int64_t>>> cases {{std::int64_t {100}, 100},
        {std::int64_t {0}, 0}, {55.0, 55}, {std::int64_t {101}, std::nullopt}, {std::int64_t {-1}, std::nullopt},
        {55.5, std::nullopt}, {1e300, std::nullopt}, {true, std::nullopt}, {std::string("55"), std::nullopt},
        {RegistryDictionary {{"Percent", std::int64_t {5}}}, std::nullopt}};
    for (const auto& [value, percent] : cases) {
        auto registry = registryOf({accessory(9, value)});
        EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, false, {{9, "Mouse", Transport::usb, percent}}}))
            << numberText(value).value_or("not a number");
    }
}

TEST(AccessoryBatteryWalk, AnIdentityInDoubtFailsTheWholeSnapshot)
{
    auto unreadable = accessory(2);
    unreadable.id.reset();
    // A repeated id fails the snapshot even where the repeating service could not be described.
    for (const FakeService& second : {unreadable, accessory(0), accessory(1), accessory(1, std::int64_t {50}, " ")}) {
        auto registry = registryOf({accessory(1), second});
        EXPECT_FALSE(walk(registry));
    }
    auto registry = registryOf({accessory(1), {1, {{"Product", std::string("No battery")}}}});
    EXPECT_TRUE(walk(registry)); // ids of services without a battery are never read
}

TEST(AccessoryBatteryWalk, KeepsTheFirst32ReadingsMetSortedByUnsignedId)
{
    auto registry = registryOf({});
    for (std::uint64_t id = 33; id >= 2; --id) {
        registry.services.push_back(accessory(id % 2 == 0 ? id : id | (1ULL << 63)));
    }
    const auto full = walk(registry);
    ASSERT_TRUE(full && !full->incomplete);
    const auto fullIds = ids(full);
    EXPECT_EQ(fullIds.size(), 32U);
    EXPECT_TRUE(std::is_sorted(fullIds.begin(), fullIds.end()));
    EXPECT_EQ(fullIds.back(), 33 | (1ULL << 63));
    registry.services.push_back(accessory(1));
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, true, full->readings}));
}

TEST(AccessoryBatteryWalk, Examines128ServicesAtMost)
{
    auto registry = registryOf({});
    for (std::uint64_t id = 1; id <= 127; ++id) {
        registry.services.push_back({id, {{"Product", std::string("Not an accessory")}}});
    }
    registry.services.push_back(accessory(128));
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, false, {{128, "Mouse", Transport::usb, 50}}}));
    registry.services.push_back(accessory(128)); // its repeated id would fail the snapshot if it were examined
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, true, {{128, "Mouse", Transport::usb, 50}}}));
}

TEST(AccessoryBatteryWalk, RefusesAnUnlistableOrChangedRegistryAndAStaleOrBrokenClock)
{
    auto registry = registryOf({accessory(1)});
    EXPECT_TRUE(walk(registry, 10.0, 2.0));
    EXPECT_FALSE(walk(registry, 10.0, 2.000001));
    EXPECT_FALSE(walk(registry, 10.0, -0.5));
    EXPECT_FALSE(walk(registry, std::nan(""), 0.0));
    registry.staysValid = false;
    EXPECT_FALSE(walk(registry));
    registry.listable = false;
    EXPECT_FALSE(walk(registry));
}

} // namespace
} // namespace quorvantile
