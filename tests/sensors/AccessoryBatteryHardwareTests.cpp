#include "sensors/AccessoryBatteryHardware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

namespace quorvantile {
namespace {

using Transport = AccessoryBatteryReading::Transport;

struct FakeService {
    std::optional<std::uint64_t> id;
    std::map<std::string, RegistryValue, std::less<>> properties;
};

FakeService accessory(std::uint64_t id, RegistryValue percent = std::int64_t {50}, std::string name = "Mouse")
{
    return {id, {{"BatteryPercent", percent}, {"Transport", std::string("USB")}, {"Product", std::move(name)}}};
}

struct FakeEntry final : RegistryEntry {
    explicit FakeEntry(FakeService held) : service(std::move(held)) { }
    std::optional<std::uint64_t> registryEntryID() const override { return service.id; }
    std::optional<RegistryValue> property(std::string_view name) const override
    {
        const auto found = service.properties.find(name);
        return found == service.properties.end() ? std::nullopt : std::optional(found->second);
    }
    FakeService service;
};

struct FakeRegistry final : Registry {
    struct Walk final : RegistryIterator {
        explicit Walk(const FakeRegistry& owner) : registry(owner) { }
        std::unique_ptr<RegistryEntry> next() override
        {
            return position < registry.services.size() ? std::make_unique<FakeEntry>(registry.services[position++])
                                                       : nullptr;
        }
        bool isValid() const override { return registry.staysValid; }
        const FakeRegistry& registry;
        std::size_t position = 0;
    };
    std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) override
    {
        requestedClass = className;
        return listable ? std::make_unique<Walk>(*this) : nullptr;
    }
    std::vector<FakeService> services;
    bool listable = true;
    bool staysValid = true;
    std::string requestedClass;
};

// The reader asks for `uptime` once after the walk, then once more for `now`.
struct FakeClock final : Clock {
    FakeClock(double uptime, double now) : readings {uptime, now} { }
    double uptime() const override { return readings.at(calls++); }
    std::array<double, 2> readings;
    mutable std::size_t calls = 0;
};

std::optional<AccessoryBatterySnapshot> walk(FakeRegistry& registry, double uptime = 100.0, double now = 100.5)
{
    return AccessoryBatteryHardware::snapshot(registry, FakeClock(uptime, now));
}

std::vector<std::uint64_t> ids(const std::optional<AccessoryBatterySnapshot>& snapshot)
{
    std::vector<std::uint64_t> result;
    for (const auto& reading : snapshot.value().readings) {
        result.push_back(reading.registryID);
    }
    return result;
}

TEST(AccessoryBatteryWalk, ListsAccessoriesOfTheHidEventClass)
{
    FakeRegistry registry;
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, false, {}}));
    EXPECT_EQ(registry.requestedClass, "AppleDeviceManagementHIDEventService");

    registry.services = {accessory(7, std::int64_t {100}, "  Keys")};
    registry.services[0].properties["Transport"] = std::string("BluetoothLowEnergy");
    EXPECT_EQ(walk(registry),
        (AccessoryBatterySnapshot {1, 100.0, false, {{7, "  Keys", Transport::bluetoothLowEnergy, 100}}}));

    registry.listable = false;
    EXPECT_FALSE(walk(registry));
}

TEST(AccessoryBatteryWalk, PassesOverServicesWithoutBatteryOrKnownTransportSilently)
{
    FakeRegistry registry;
    registry.services = {accessory(1), accessory(2), accessory(3), accessory(4)};
    registry.services[0].properties.erase("BatteryPercent");
    registry.services[1].properties["Transport"] = std::int64_t {3};
    registry.services[2].properties["Transport"] = std::string("usb");
    registry.services[3].properties.erase("Transport");
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, false, {}}));
}

TEST(AccessoryBatteryWalk, AccessoriesThatCannotBeDescribedMakeTheSnapshotIncomplete)
{
    for (const RegistryValue& product : {RegistryValue(std::int64_t {1}), RegistryValue(std::string(" \t")),
             RegistryValue(std::string(129, 'x')), RegistryValue(std::string("Tab\tMouse"))}) {
        FakeRegistry registry;
        registry.services = {accessory(1, std::int64_t {50}, std::string(128, 'k')), accessory(2)};
        registry.services[1].properties["Product"] = product;
        const auto snapshot = walk(registry);
        EXPECT_TRUE(snapshot && snapshot->incomplete);
        EXPECT_EQ(ids(snapshot), std::vector<std::uint64_t> {1});
    }
    FakeRegistry withoutProduct;
    withoutProduct.services = {accessory(1)};
    withoutProduct.services[0].properties.erase("Product");
    EXPECT_EQ(walk(withoutProduct), (AccessoryBatterySnapshot {1, 100.0, true, {}}));
}

TEST(AccessoryBatteryWalk, PercentIsAWholeNumberFrom0To100OrAbsent)
{
    const std::vector<std::pair<RegistryValue, std::optional<std::int64_t>>> cases {{std::int64_t {100}, 100},
        {std::int64_t {0}, 0}, {55.0, 55}, {std::int64_t {101}, std::nullopt}, {std::int64_t {-1}, std::nullopt},
        {55.5, std::nullopt}, {1e300, std::nullopt}, {true, std::nullopt}, {std::string("55"), std::nullopt},
        {RegistryDictionary {{"Percent", std::int64_t {5}}}, std::nullopt}};
    for (const auto& [value, percent] : cases) {
        FakeRegistry registry;
        registry.services = {accessory(9, value)};
        const auto snapshot = walk(registry);
        ASSERT_TRUE(snapshot && snapshot->readings.size() == 1 && !snapshot->incomplete);
        EXPECT_EQ(snapshot->readings[0].percent, percent) << numberText(value).value_or("not a number");
    }
}

TEST(AccessoryBatteryWalk, AnIdentityInDoubtFailsTheWholeSnapshot)
{
    for (const auto id :
        {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(0), std::optional<std::uint64_t>(1)}) {
        FakeRegistry registry;
        registry.services = {accessory(1), accessory(2)};
        registry.services[1].id = id;
        EXPECT_FALSE(walk(registry));
    }
    FakeRegistry registry; // ids of services without a battery are never read
    registry.services = {accessory(1), {1, {{"Product", std::string("No battery")}}}};
    EXPECT_TRUE(walk(registry));
}

TEST(AccessoryBatteryWalk, KeepsTheFirst32ReadingsMetSortedByUnsignedId)
{
    FakeRegistry registry;
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
    const auto cut = walk(registry);
    EXPECT_TRUE(cut && cut->incomplete);
    EXPECT_EQ(ids(cut), fullIds);
}

TEST(AccessoryBatteryWalk, Examines128ServicesAtMost)
{
    FakeRegistry registry;
    for (std::uint64_t id = 1; id <= 127; ++id) {
        registry.services.push_back({id, {{"Product", std::string("Not an accessory")}}});
    }
    registry.services.push_back(accessory(128));
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, false, {{128, "Mouse", Transport::usb, 50}}}));
    registry.services.push_back(accessory(128)); // its repeated id would fail the snapshot if it were examined
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, true, {{128, "Mouse", Transport::usb, 50}}}));
}

TEST(AccessoryBatteryWalk, RefusesAChangedRegistryAndAStaleOrBrokenClock)
{
    FakeRegistry registry;
    registry.services = {accessory(1)};
    EXPECT_TRUE(walk(registry, 10.0, 12.0));
    EXPECT_FALSE(walk(registry, 10.0, 12.000001));
    EXPECT_FALSE(walk(registry, 10.0, 9.5));
    EXPECT_FALSE(walk(registry, std::nan(""), 10.0));
    registry.staysValid = false;
    EXPECT_FALSE(walk(registry));
}

} // namespace
} // namespace quorvantile
