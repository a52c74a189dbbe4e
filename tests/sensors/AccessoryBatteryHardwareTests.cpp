#include "sensors/AccessoryBatteryHardware.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>

namespace quorvantile {
namespace {

using Transport = AccessoryBatteryReading::Transport;
using Properties = std::map<std::string, RegistryValue, std::less<>>;

struct FakeService {
    std::optional<std::uint64_t> id;
    Properties properties;
    int* reads = nullptr; // counts property reads, to see which services were examined
};

FakeService accessory(std::uint64_t id, RegistryValue percent = std::int64_t {50}, std::string name = "Mouse")
{
    return {id, {{"BatteryPercent", percent}, {"Transport", std::string("USB")}, {"Product", std::move(name)}}};
}

class FakeEntry final : public RegistryEntry {
public:
    explicit FakeEntry(const FakeService& service) : service_(service) { }
    std::optional<std::uint64_t> registryEntryID() const override { return service_.id; }
    std::optional<RegistryValue> property(std::string_view name) const override
    {
        if (service_.reads != nullptr) {
            ++*service_.reads;
        }
        const auto found = service_.properties.find(name);
        return found == service_.properties.end() ? std::nullopt : std::optional(found->second);
    }

private:
    const FakeService& service_;
};

class FakeRegistry final : public Registry {
public:
    std::vector<FakeService> services;
    bool listable = true;
    bool staysValid = true;
    std::string requestedClass;

    std::unique_ptr<RegistryIterator> matchingServices(std::string_view className) override
    {
        requestedClass = className;
        return listable ? std::make_unique<Iterator>(*this) : nullptr;
    }

private:
    struct Iterator final : RegistryIterator {
        explicit Iterator(const FakeRegistry& registry) : registry_(registry) { }
        std::unique_ptr<RegistryEntry> next() override
        {
            return position_ < registry_.services.size() ? std::make_unique<FakeEntry>(registry_.services[position_++])
                                                         : nullptr;
        }
        bool isValid() const override { return registry_.staysValid; }
        const FakeRegistry& registry_;
        std::size_t position_ = 0;
    };
};

// Hands out its readings in turn: the reader asks once for `uptime`, then once for `now`.
class FakeClock final : public Clock {
public:
    explicit FakeClock(std::deque<double> readings) : readings_(std::move(readings)) { }
    double uptime() const override
    {
        const double reading = readings_.front();
        if (readings_.size() > 1) {
            readings_.pop_front();
        }
        return reading;
    }

private:
    mutable std::deque<double> readings_;
};

std::optional<AccessoryBatterySnapshot> walk(FakeRegistry& registry, std::deque<double> clock = {100.0})
{
    return AccessoryBatteryHardware::snapshot(registry, FakeClock(std::move(clock)));
}

std::vector<std::uint64_t> ids(const AccessoryBatterySnapshot& snapshot)
{
    std::vector<std::uint64_t> result;
    for (const auto& reading : snapshot.readings) {
        result.push_back(reading.registryID);
    }
    return result;
}

TEST(AccessoryBatteryWalk, ListsAccessoriesOfTheHidEventClass)
{
    FakeRegistry registry;
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, false, {}}));
    EXPECT_EQ(registry.requestedClass, "AppleDeviceManagementHIDEventService");

    registry.services = {{7,
        {{"BatteryPercent", std::int64_t {100}}, {"Transport", std::string("BluetoothLowEnergy")},
            {"Product", std::string("  Keys")}}}};
    EXPECT_EQ(walk(registry),
        (AccessoryBatterySnapshot {1, 100.0, false, {{7, "  Keys", Transport::bluetoothLowEnergy, 100}}}));

    registry.listable = false;
    EXPECT_FALSE(walk(registry));
}

TEST(AccessoryBatteryWalk, PassesOverServicesWithoutBatteryOrKnownTransport)
{
    FakeRegistry registry;
    registry.services = {{1, {{"Transport", std::string("USB")}, {"Product", std::string("No battery")}}},
        {2, {{"BatteryPercent", std::int64_t {5}}, {"Transport", std::int64_t {3}}, {"Product", std::string("A")}}},
        {3, {{"BatteryPercent", std::int64_t {5}}, {"Transport", std::string("usb")}, {"Product", std::string("B")}}},
        {std::nullopt, {{"BatteryPercent", std::int64_t {5}}, {"Product", std::string("C")}}}};
    EXPECT_EQ(walk(registry), (AccessoryBatterySnapshot {1, 100.0, false, {}}));
}

TEST(AccessoryBatteryWalk, AccessoriesThatCannotBeDescribedMakeTheSnapshotIncomplete)
{
    const std::vector<RegistryValue> badProducts {std::int64_t {1}, std::string(" \u3000\n"), std::string(129, 'x'),
        std::string("Tab\tMouse"), std::string("Zero\u200Bwidth"), std::string("\xC3")};
    for (const auto& product : badProducts) {
        FakeRegistry registry;
        registry.services = {accessory(1, std::int64_t {50}, std::string(128, 'k')), accessory(2)};
        registry.services[1].properties["Product"] = product;
        const auto snapshot = walk(registry);
        ASSERT_TRUE(snapshot);
        EXPECT_TRUE(snapshot->incomplete);
        EXPECT_EQ(ids(*snapshot), std::vector<std::uint64_t> {1});
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
        ASSERT_TRUE(snapshot && snapshot->readings.size() == 1);
        EXPECT_EQ(snapshot->readings[0].percent, percent) << numberText(value).value_or("not a number");
        EXPECT_FALSE(snapshot->incomplete);
    }
}

TEST(AccessoryBatteryWalk, AnIdentityInDoubtFailsTheWholeSnapshot)
{
    for (const std::optional<std::uint64_t> id :
        {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(0), std::optional<std::uint64_t>(1)}) {
        FakeRegistry registry;
        registry.services = {accessory(1), accessory(2)};
        registry.services[1].id = id;
        EXPECT_FALSE(walk(registry));
    }
    // Ids of services that are not accessories are never read.
    FakeRegistry registry;
    registry.services = {accessory(1), {1, {{"Product", std::string("No battery")}}}};
    EXPECT_TRUE(walk(registry));
}

TEST(AccessoryBatteryWalk, KeepsTheFirst32ReadingsMetSortedByUnsignedId)
{
    FakeRegistry registry;
    for (std::uint64_t id = 33; id >= 2; --id) {
        registry.services.push_back(accessory(id + (id % 2 == 0 ? 0 : (1ULL << 63))));
    }
    const auto full = walk(registry);
    ASSERT_TRUE(full);
    EXPECT_FALSE(full->incomplete);
    EXPECT_EQ(full->readings.size(), 32U);
    EXPECT_TRUE(std::is_sorted(full->readings.begin(), full->readings.end(),
        [](const auto& left, const auto& right) { return left.registryID < right.registryID; }));
    EXPECT_EQ(full->readings.back().registryID, 33 + (1ULL << 63));

    registry.services.push_back(accessory(1));
    const auto cut = walk(registry);
    ASSERT_TRUE(cut);
    EXPECT_TRUE(cut->incomplete);
    EXPECT_EQ(ids(*cut), ids(*full));
}

TEST(AccessoryBatteryWalk, Examines128ServicesAtMost)
{
    int lastReads = 0;
    FakeRegistry registry;
    for (std::uint64_t id = 1; id <= 128; ++id) {
        registry.services.push_back({id, {{"Product", std::string("Not an accessory")}}});
    }
    registry.services.back() = accessory(128);
    const auto exact = walk(registry);
    ASSERT_TRUE(exact);
    EXPECT_EQ(ids(*exact), std::vector<std::uint64_t> {128});
    EXPECT_FALSE(exact->incomplete);

    registry.services.push_back(accessory(129));
    registry.services.back().reads = &lastReads;
    const auto over = walk(registry);
    ASSERT_TRUE(over);
    EXPECT_EQ(ids(*over), std::vector<std::uint64_t> {128});
    EXPECT_TRUE(over->incomplete);
    EXPECT_EQ(lastReads, 0);
}

TEST(AccessoryBatteryWalk, RefusesAChangedRegistryAndAStaleOrBrokenClock)
{
    FakeRegistry registry;
    registry.services = {accessory(1)};
    registry.staysValid = false;
    EXPECT_FALSE(walk(registry));

    registry.staysValid = true;
    EXPECT_TRUE(walk(registry, {10.0, 12.0}));
    EXPECT_FALSE(walk(registry, {10.0, 12.000001}));
    EXPECT_FALSE(walk(registry, {10.0, 9.5}));
    EXPECT_FALSE(walk(registry, {std::nan("")}));
    EXPECT_FALSE(walk(registry, {10.0, std::numeric_limits<double>::infinity()}));
}

} // namespace
} // namespace quorvantile
