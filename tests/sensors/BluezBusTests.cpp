// The BlueZ source against a real private bus with python-dbusmock standing in for BlueZ: what the
// companion's end-to-end tests cannot time, such as changes announced between the reply and the
// end of a walk.
#include "PrivateBus.h"
#include "common/JsonDecode.h"
#include "common/UniqueFd.h"
#include "sensors/AccessoryBatteryHardware.h"
#include "sensors/SensorFixtures.h"
#include "sensors/SystemRegistry.h"
#include "sensors/linux/BluezClient.h"
#include "sensors/linux/Sysfs.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <thread>

namespace quorvantile {
namespace {

using Json = nlohmann::json;
using testing::fixture;
using testing::PrivateBus;

constexpr double kNoDeadline = std::numeric_limits<double>::infinity();
constexpr std::size_t kPowerSupplyAccessories = 5; // of the workstation fixture

Json device(const std::string& address, int percent)
{
    return {{"org.bluez.Device1",
                {{"Address", {"s", address}}, {"AddressType", {"s", "random"}}, {"Alias", {"s", "Tag " + address}}}},
        {"org.bluez.Battery1", {{"Percentage", {"y", percent}}}}};
}

TEST(BluezQueryAddress, AsksOnlyOverLocalSocketsAndSaysWhyNothingCame)
{
    const auto noteOf = [](const std::string& address) {
        BluezQuery query(address, {}, kNoDeadline, systemClock());
        EXPECT_TRUE(query.batteries().empty()) << address;
        EXPECT_TRUE(query.unchanged()) << address;
        const auto notes = query.notes();
        EXPECT_EQ(notes.size(), 1U) << address;
        return notes.empty() ? RegistryNote {} : notes[0];
    };
    // sd-bus would run a program for this one; the other tries a socket that is not there.
    for (const std::string address : {"unixexec:path=/bin/true", "unix:path=/nonexistent;tcp:host=localhost,port=1"}) {
        const RegistryNote note = noteOf(address);
        EXPECT_EQ(note.reason, "the system bus address is not a local socket (unix:): " + address);
        EXPECT_FALSE(note.servicesMissing);
    }
    const RegistryNote absent = noteOf("unix:path=/nonexistent");
    EXPECT_EQ(absent.reason, "no system bus at unix:path=/nonexistent: No such file or directory");
    EXPECT_FALSE(absent.servicesMissing);
}

TEST(BluezQueryAddress, ABusThatNeverAnswersCostsNoMoreThanTheTimeout)
{
    // A socket that takes connections into its backlog and never speaks: the bus's handshake stalls.
    testing::TemporaryDirectory folder;
    const std::string path = folder.path() + "/silent";
    const UniqueFd silent(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(silent.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent.get(), 4), 0);

    BluezQuery query("unix:path=" + path, {}, kNoDeadline, systemClock());
    EXPECT_TRUE(query.batteries().empty());
    const auto notes = query.notes();
    ASSERT_EQ(notes.size(), 1U);
    EXPECT_EQ(notes[0].reason, "BlueZ did not answer within 100 ms");
    EXPECT_TRUE(notes[0].servicesMissing);
}

TEST(BluezQueryAddress, NeverStartsBluezWhereItDoesNotRun)
{
    if (const auto reason = PrivateBus::unavailable()) {
        GTEST_SKIP() << *reason;
    }
    testing::TemporaryDirectory folder;
    const std::string started = folder.path() + "/started";
    const PrivateBus bus("/usr/bin/touch " + started);
    ASSERT_FALSE(bus.address().empty()) << "the private bus did not start";
    BluezQuery query(bus.address(), {}, kNoDeadline, systemClock());
    EXPECT_TRUE(query.batteries().empty());
    const auto notes = query.notes();
    ASSERT_EQ(notes.size(), 1U);
    EXPECT_EQ(notes[0].reason, "BlueZ is not running on the system bus");
    // Long enough for an activation the call had asked for to have run its command.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(started));
}

class BluezOnAPrivateBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto reason = PrivateBus::unavailable()) {
            GTEST_SKIP() << *reason;
        }
        bus = std::make_unique<PrivateBus>();
        ASSERT_FALSE(bus->address().empty()) << "the private bus did not start";
        roots.sysfs = fixture("accessories/workstation");
        roots.systemBus = bus->address();
    }

    // BlueZ's stand-in with one device with a battery, and `more` in the description.
    std::unique_ptr<testing::ChildProcess> startBluez(Json more = Json::object())
    {
        Json description = {{"objects", {{"/org/bluez/hci0/dev_F0_00", device("F0:00:00:00:00:00", 40)}}}};
        description.update(more);
        auto bluez = bus->startBluez(description);
        EXPECT_TRUE(bluez) << "the BlueZ stand-in did not start";
        return bluez;
    }

    std::unique_ptr<PrivateBus> bus;
    SystemRoots roots;
};

TEST_F(BluezOnAPrivateBus, AWalkIsInvalidWhenADeviceWithABatteryComesOrGoesAfterTheReply)
{
    struct Case {
        const char* what;
        Json announce;
        bool valid;
    };
    const std::vector<Case> cases {
        {"a device with a battery comes",
            {{"when", "after"}, {"signal", "added"}, {"path", "/org/bluez/hci0/dev_F0_01"},
                {"interfaces", device("F0:00:00:00:00:01", 10)}},
            false},
        {"a listed device loses its battery",
            {{"when", "after"}, {"signal", "removed"}, {"path", "/org/bluez/hci0/dev_F0_00"},
                {"interfaces", Json::array({"org.bluez.Battery1"})}},
            false},
        {"a device without a battery comes",
            {{"when", "after"}, {"signal", "added"}, {"path", "/org/bluez/hci0/dev_F0_02"},
                {"interfaces", {{"org.bluez.Device1", {{"Name", {"s", "Phone"}}}}}}},
            true},
        {"a device with a battery comes before the reply (the reply has it)",
            {{"when", "before"}, {"signal", "added"}, {"path", "/org/bluez/hci0/dev_F0_01"},
                {"interfaces", device("F0:00:00:00:00:01", 10)}},
            true},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        const auto bluez = startBluez({{"announce", item.announce}});
        ASSERT_TRUE(bluez);
        const auto registry = systemRegistry(roots, kNoDeadline, systemClock());
        const auto walk = registry->matchingServices(AccessoryBatteryHardware::kServiceClassName);
        ASSERT_TRUE(walk);
        std::vector<std::unique_ptr<RegistryEntry>> entries;
        while (auto entry = walk->next()) {
            entries.push_back(std::move(entry));
        }
        // The workstation's Device-scope supplies, then BlueZ's tag.
        ASSERT_EQ(entries.size(), 7U);
        EXPECT_EQ(entries.back()->registryEntryID(), sysfs::entryID("/org/bluez/hci0/dev_F0_00"));
        // Long enough for a signal sent just after the reply to be waiting on the connection.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(walk->isValid(), item.valid);
        EXPECT_TRUE(walk->notes().empty());
    }
}

TEST_F(BluezOnAPrivateBus, AMalformedReplyOrNoTimeLeftAddsNothingAndSaysWhy)
{
    const auto bluez = startBluez({{"malformedReply", true}});
    ASSERT_TRUE(bluez);
    const auto malformed = AccessoryBatteryHardware::snapshot(roots);
    ASSERT_TRUE(malformed) << malformed.reason();
    EXPECT_EQ(malformed->readings.size(), kPowerSupplyAccessories);
    EXPECT_TRUE(malformed->incomplete);
    EXPECT_EQ(malformed.notes(), std::vector<std::string> {"BlueZ's device list is malformed"});

    // The connection's deadline leaves no time beyond what the walk and the reply need.
    const auto late = AccessoryBatteryHardware::snapshot(roots, systemClock().uptime() + kBluezReserveSeconds);
    ASSERT_TRUE(late) << late.reason();
    EXPECT_EQ(late->readings.size(), kPowerSupplyAccessories);
    EXPECT_TRUE(late->incomplete);
    EXPECT_EQ(late.notes(), std::vector<std::string> {"no time was left to ask BlueZ"});
}

TEST_F(BluezOnAPrivateBus, ReadsNoMoreObjectsThanItsBound)
{
    const auto bluez = startBluez({{"objects",
        {{"/org/bluez/hci0", {{"org.bluez.Adapter1", {{"Powered", {"b", true}}}}}},
            {"/org/bluez/hci0/dev_F0_00", device("F0:00:00:00:00:00", 40)},
            {"/org/bluez/hci0/dev_F0_01", device("F0:00:00:00:00:01", 50)}}}});
    ASSERT_TRUE(bluez);
    for (const std::size_t bound : {std::size_t {2}, std::size_t {3}}) {
        BluezQuery query(bus->address(), {}, kNoDeadline, systemClock(), bound);
        // The reply lists objects in the order they were added, the adapter first.
        EXPECT_EQ(query.batteries().size(), bound - 1) << bound;
        const auto notes = query.notes();
        if (bound == 2) {
            ASSERT_EQ(notes.size(), 1U);
            EXPECT_EQ(notes[0].reason, "only the first 2 objects of BlueZ's device list were read");
            EXPECT_TRUE(notes[0].servicesMissing);
        } else {
            EXPECT_TRUE(notes.empty());
        }
    }
}

} // namespace
} // namespace quorvantile
