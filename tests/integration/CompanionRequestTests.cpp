// The four requests beside the snapshot, through the real executable.
#include "CompanionProcess.h"
#include "QueryClient.h"

#include "common/Clock.h"
#include "companion/AppQuitRequest.h"
#include "companion/SensorTransport.h"
#include "processes/ProcessDetailSnapshot.h"
#include "processes/ProcessInventorySnapshot.h"
#include "sensors/AccessoryBatterySnapshot.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>

namespace quorvantile {
namespace {

using testing::CompanionEnvironment;
namespace transport = SensorTransport;

constexpr double kStartSeconds = 5.0;
const std::string kRefusal = R"({"processReadCount":0,"requestAccepted":false,"sensorReadCount":0,"trusted":true})";

// Sends `message` as it is and reads one reply; absent when the companion closes without one.
std::optional<std::string> roundTrip(const CompanionEnvironment& environment, std::string_view message)
{
    const UniqueFd socket = testing::connectTo(environment.socketPath());
    if (!socket) {
        ADD_FAILURE() << "cannot connect";
        return std::nullopt;
    }
    const double deadline = systemClock().uptime() + kStartSeconds;
    if (!transport::send(socket.get(), message, deadline, transport::kMaximumReplyBytes)) {
        return std::nullopt;
    }
    const auto prefix = transport::receive(socket.get(), transport::kLengthPrefixBytes, deadline);
    return prefix ? transport::receive(socket.get(), transport::readLengthPrefix(*prefix), deadline) : std::nullopt;
}

std::string framed(std::string_view line, std::string_view body)
{
    return std::string(line) + transport::lengthPrefix(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

std::string requestObject(const ProcessInventoryReading& reading, std::uint64_t microseconds)
{
    return R"({"pid":)" + std::to_string(reading.pid) + R"(,"startSeconds":)" + std::to_string(reading.startSeconds) +
        R"(,"startMicroseconds":)" + std::to_string(microseconds) + "}";
}

class CompanionRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        environment.variables["QUORVANTILE_SYSFS_ROOT"] =
            std::string(QUORVANTILE_FIXTURES_DIR) + "/accessories/workstation";
        server = environment.start("--manual-diagnostics");
        ASSERT_TRUE(server->readLine(kStartSeconds).has_value());
    }

    nlohmann::json nextStatus() { return nlohmann::json::parse(server->readLine(kStartSeconds).value_or("null")); }

    // The reading of this test process in a fresh inventory.
    ProcessInventoryReading ownReading()
    {
        const auto reply = environment.ask("inventory");
        const auto* bytes = std::get_if<std::string>(&reply);
        const auto inventory = bytes ? json::decode<ProcessInventorySnapshot>(*bytes) : std::nullopt;
        EXPECT_TRUE(inventory) << (bytes ? *bytes : std::get<query::Failure>(reply).message);
        const auto status = nextStatus();
        EXPECT_EQ(status["processInventoryReadCount"], inventory ? inventory->readings.size() : 0);
        EXPECT_EQ(status["incomplete"], inventory && inventory->incomplete);
        const auto& readings = inventory ? inventory->readings : std::vector<ProcessInventoryReading> {};
        const auto own =
            std::find_if(readings.begin(), readings.end(), [](const auto& reading) { return reading.pid == getpid(); });
        EXPECT_NE(own, readings.end()) << "the client's own process is always in its inventory";
        return own == readings.end() ? ProcessInventoryReading {} : *own;
    }

    CompanionEnvironment environment;
    std::unique_ptr<testing::ChildProcess> server;
};

TEST_F(CompanionRequests, InventoryHoldsTheClientAndItsIdentityGetsDetails)
{
    const ProcessInventoryReading own = ownReading();
    ASSERT_EQ(own.pid, getpid());

    // A body of exactly 2,048 bytes is answered; one byte more is refused with the refusal line.
    std::string body = "[" + requestObject(own, own.startMicroseconds) + "]";
    body.resize(transport::kMaximumRequestBodyBytes, ' ');
    const auto reply = roundTrip(environment, framed(transport::processRequest, body));
    const auto details = reply ? json::decode<ProcessDetailSnapshot>(*reply) : std::nullopt;
    ASSERT_TRUE(details && details->readings.size() == 1U) << reply.value_or("no reply");
    EXPECT_TRUE(details->readings[0].threads.has_value()) << *reply;
    EXPECT_EQ(nextStatus()["processReadCount"], 1);

    body += ' ';
    EXPECT_EQ(roundTrip(environment, framed(transport::processRequest, body)), std::nullopt);
    EXPECT_EQ(server->readLine(kStartSeconds), kRefusal);

    std::string nine = "[";
    for (std::uint64_t index = 0; index < 9; ++index) {
        nine += (index == 0 ? "" : ",") + requestObject(own, index);
    }
    EXPECT_EQ(roundTrip(environment, framed(transport::processRequest, nine + "]")), std::nullopt);
    EXPECT_EQ(server->readLine(kStartSeconds), kRefusal);
}

TEST_F(CompanionRequests, QuitBodiesThatCannotBeDecodedGetNoWordAndRefusedQuitsAreAnswered)
{
    const ProcessInventoryReading own = ownReading();
    for (const std::string& body : {std::string("{\"process\":"),
             R"({"process":)" + requestObject(own, own.startMicroseconds) +
                 R"(,"bundleIdentifier":"COM.APPLE.FINDER"})"}) {
        EXPECT_EQ(roundTrip(environment, framed(transport::quitRequest, body)), std::nullopt) << body;
    }
    // This test process is no desktop application: a well-formed request for it is refused.
    const AppQuitRequest request {{own.pid, own.startSeconds, own.startMicroseconds}, "org.example.NotAnApp"};
    const auto reply = roundTrip(environment, framed(transport::quitRequest, *json::encode(request)));
    const auto response = reply ? json::decode<AppQuitResponse>(*reply) : std::nullopt;
    ASSERT_TRUE(response) << reply.value_or("no reply");
    EXPECT_EQ(response->request, request);
    EXPECT_EQ(response->outcome, AppQuitResponse::Outcome::refused);
    // The two undecodable bodies wrote nothing: the next line is the quit's.
    EXPECT_EQ(server->readLine(kStartSeconds),
        R"({"processReadCount":0,"quitRequested":false,"requestAccepted":true,"sensorReadCount":0,"trusted":true})");
}

TEST_F(CompanionRequests, AccessoryBatteriesOfTheFixtureMachine)
{
    const auto reply = environment.ask("battery");
    const auto* bytes = std::get_if<std::string>(&reply);
    const auto snapshot = bytes ? json::decode<AccessoryBatterySnapshot>(*bytes) : std::nullopt;
    ASSERT_TRUE(snapshot) << (bytes ? *bytes : std::get<query::Failure>(reply).message);
    ASSERT_EQ(snapshot->readings.size(), 4U);
    EXPECT_EQ(std::count_if(snapshot->readings.begin(), snapshot->readings.end(),
                  [](const auto& reading) { return !reading.percent; }),
        1);
    EXPECT_EQ(server->readLine(kStartSeconds),
        R"({"accessoryBatteryReadCount":4,"incomplete":false,"requestAccepted":true,"sensorReadCount":0,"trusted":true})");
}

} // namespace
} // namespace quorvantile
