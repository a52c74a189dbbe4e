// Accessories that only BlueZ knows, end to end: the companion and the query tool against a private
// system bus with python-dbusmock standing in for BlueZ, over the workstation's power_supply fixture.
#include "CompanionProcess.h"
#include "PrivateBus.h"
#include "TestPaths.h"

#include "common/FileText.h"
#include "common/JsonDecode.h"
#include "sensors/AccessoryBatterySnapshot.h"
#include "sensors/linux/Sysfs.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <filesystem>

namespace quorvantile {
namespace {

using Json = nlohmann::json;
using testing::binary;
using testing::ChildProcess;
using testing::CompanionEnvironment;
using testing::PrivateBus;
using Transport = AccessoryBatteryReading::Transport;

constexpr double kStartSeconds = 10.0;
constexpr std::size_t kPowerSupplyAccessories = 5;
constexpr const char* kHeadset = "/org/bluez/hci0/dev_00_1B_66_AA_BB_CC";
constexpr const char* kSensorTag = "/org/bluez/hci0/dev_C1_22_33_44_55_66";

Json property(const char* signature, Json value) { return Json::array({signature, std::move(value)}); }

Json device(const char* address, const char* addressType, const char* alias, Json uuids = Json::array())
{
    return {{"Address", property("s", address)}, {"AddressType", property("s", addressType)},
        {"Alias", property("s", alias)}, {"UUIDs", property("as", std::move(uuids))}};
}

Json withBattery(Json device, Json percentage, const char* signature = "y")
{
    return {{"org.bluez.Device1", std::move(device)},
        {"org.bluez.Battery1", {{"Percentage", property(signature, std::move(percentage))}}}};
}

// What BlueZ knows on this desk: a headset over the hands-free profile, an LE sensor tag with the
// GATT battery service, the LE mouse that power_supply lists as well, a phone without a battery,
// and two devices whose battery is malformed.
Json desk()
{
    const Json handsFree = "0000111e-0000-1000-8000-00805f9b34fb";
    const Json gattBattery = "0000180f-0000-1000-8000-00805f9b34fb";
    Json objects = Json::object();
    objects["/org/bluez/hci0"] = {{"org.bluez.Adapter1", {{"Address", property("s", "9C:B6:D0:12:34:56")}}}};
    objects[kHeadset] =
        withBattery(device("00:1B:66:AA:BB:CC", "public", "Headset", Json::array({handsFree, gattBattery})), 70);
    objects[kSensorTag] =
        withBattery(device("C1:22:33:44:55:66", "random", "Sensor Tag", Json::array({gattBattery})), 40);
    objects["/org/bluez/hci0/dev_D7_2E_4C_91_5A_03"] =
        withBattery(device("D7:2E:4C:91:5A:03", "random", "MX Anywhere 3", Json::array({gattBattery})), 37);
    objects["/org/bluez/hci0/dev_3C_28_6D_00_11_22"] = {
        {"org.bluez.Device1", device("3C:28:6D:00:11:22", "public", "Phone", Json::array({handsFree}))}};
    objects["/org/bluez/hci0/dev_C1_00_00_00_00_01"] =
        withBattery(device("C1:00:00:00:00:01", "random", "Overfull"), 150);
    objects["/org/bluez/hci0/dev_C1_00_00_00_00_02"] =
        withBattery(device("C1:00:00:00:00:02", "random", "Wide"), 40, "i");
    return {{"objects", std::move(objects)}};
}

template<typename T> std::optional<T> decoded(const query::Outcome& reply)
{
    const auto* bytes = std::get_if<std::string>(&reply);
    return bytes ? json::decode<T>(*bytes) : std::nullopt;
}

class CompanionWithBluez : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto reason = PrivateBus::unavailable()) {
            GTEST_SKIP() << *reason;
        }
        bus = std::make_unique<PrivateBus>();
        ASSERT_FALSE(bus->address().empty()) << "the private bus did not start";
        environment.variables["QUORVANTILE_SYSFS_ROOT"] =
            quorvantile::testing::fixturesDirectory() + "/accessories/workstation";
        environment.variables["DBUS_SYSTEM_BUS_ADDRESS"] = bus->address();
    }

    // The companion in diagnostics mode, asked once for accessories: the snapshot, its status line
    // and what it said on standard error.
    struct Answer {
        std::optional<AccessoryBatterySnapshot> snapshot;
        std::string status;
        std::string errors;
    };
    Answer ask()
    {
        auto server = environment.start("--manual-diagnostics", {.errorsToPipe = true});
        EXPECT_TRUE(server->readLine(kStartSeconds).has_value());
        Answer answer;
        answer.snapshot = decoded<AccessoryBatterySnapshot>(environment.ask("battery"));
        answer.status = server->readLine(kStartSeconds).value_or("no status line");
        maps = readWholeFile(AT_FDCWD, "/proc/" + std::to_string(server->pid()) + "/maps", 1 << 24).value_or("");
        server->closeInput();
        server->kill(SIGTERM);
        (void)server->waitForExit(kStartSeconds);
        answer.errors = server->readErrors(1.0);
        return answer;
    }

    std::unique_ptr<PrivateBus> bus;
    CompanionEnvironment environment;
    std::string maps;
};

const AccessoryBatteryReading* named(const AccessoryBatterySnapshot& snapshot, const std::string& name)
{
    const auto found = std::ranges::find(snapshot.readings, name, &AccessoryBatteryReading::name);
    return found == snapshot.readings.end() ? nullptr : &*found;
}

TEST_F(CompanionWithBluez, ListsBluezDevicesWithABatteryOnceBesideThePowerSupplyOnes)
{
    const auto bluez = bus->startBluez(desk());
    ASSERT_TRUE(bluez) << "the BlueZ stand-in did not start";
    const Answer answer = ask();
    ASSERT_TRUE(answer.snapshot);
    const AccessoryBatterySnapshot& snapshot = *answer.snapshot;
    EXPECT_EQ(snapshot.readings.size(), kPowerSupplyAccessories + 2);
    EXPECT_TRUE(std::ranges::is_sorted(snapshot.readings, {}, &AccessoryBatteryReading::registryID));
    EXPECT_EQ(*named(snapshot, "Headset"),
        (AccessoryBatteryReading {sysfs::entryID(kHeadset), "Headset", Transport::bluetooth, 70}));
    EXPECT_EQ(*named(snapshot, "Sensor Tag"),
        (AccessoryBatteryReading {sysfs::entryID(kSensorTag), "Sensor Tag", Transport::bluetoothLowEnergy, 40}));
    // The mouse both know is listed once, from power_supply.
    ASSERT_TRUE(named(snapshot, "MX Anywhere 3"));
    EXPECT_EQ(named(snapshot, "MX Anywhere 3")->percent, 35);
    for (const char* absent : {"Phone", "Overfull", "Wide"}) {
        EXPECT_FALSE(named(snapshot, absent)) << absent;
    }
    // The two malformed batteries may be accessories the reply misses.
    EXPECT_TRUE(snapshot.incomplete);
    EXPECT_EQ(answer.status,
        R"({"accessoryBatteryReadCount":7,"incomplete":true,"requestAccepted":true,"sensorReadCount":0,"trusted":true})");
    EXPECT_EQ(answer.errors, "quorvantile-sensors: BlueZ: 2 devices with a malformed battery left out\n");
    EXPECT_NE(maps.find("libsystemd"), std::string::npos) << "asked for accessories, the server loads sd-bus";

    // The query tool shows them as it shows the others.
    auto server = environment.start("--manual-diagnostics", {.errorsToPipe = true});
    ASSERT_TRUE(server->readLine(kStartSeconds).has_value());
    ChildProcess tool({binary("quorvantile-sensors-query"), "battery"}, {.environment = environment.variables});
    tool.closeInput();
    const std::string shown = tool.readRest(kStartSeconds);
    EXPECT_EQ(tool.waitForExit(kStartSeconds), 0);
    EXPECT_NE(shown.find("Bluetooth        70 %  Headset\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Bluetooth LE     40 %  Sensor Tag\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Bluetooth LE     35 %  MX Anywhere 3\n"), std::string::npos) << shown;
}

TEST_F(CompanionWithBluez, WithoutBluezOrABusThePowerSupplyDevicesAloneAndOneLine)
{
    Answer answer = ask(); // the bus runs, BlueZ does not
    ASSERT_TRUE(answer.snapshot);
    EXPECT_EQ(answer.snapshot->readings.size(), kPowerSupplyAccessories);
    EXPECT_FALSE(answer.snapshot->incomplete) << "no BlueZ, no accessories missing";
    EXPECT_EQ(answer.errors, "quorvantile-sensors: BlueZ is not running on the system bus\n");

    const std::string absent = "unix:path=" + environment.runtime.path() + "/no-bus";
    environment.variables["DBUS_SYSTEM_BUS_ADDRESS"] = absent;
    answer = ask();
    ASSERT_TRUE(answer.snapshot);
    EXPECT_EQ(answer.snapshot->readings.size(), kPowerSupplyAccessories);
    EXPECT_FALSE(answer.snapshot->incomplete);
    EXPECT_EQ(answer.errors, "quorvantile-sensors: no system bus at " + absent + ": No such file or directory\n");
}

TEST_F(CompanionWithBluez, ABluezThatDoesNotAnswerCostsItsTimeoutNotTheReply)
{
    const auto bluez = bus->startBluez({{"answers", false}});
    ASSERT_TRUE(bluez) << "the BlueZ stand-in did not start";
    // A reply at all is within the connection's deadline: past it, the server closes without one.
    const Answer answer = ask();
    ASSERT_TRUE(answer.snapshot) << answer.errors;
    EXPECT_EQ(answer.snapshot->readings.size(), kPowerSupplyAccessories);
    EXPECT_TRUE(answer.snapshot->incomplete);
    EXPECT_EQ(answer.errors, "quorvantile-sensors: BlueZ did not answer within 100 ms\n");
}

} // namespace
} // namespace quorvantile
