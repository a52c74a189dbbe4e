// The real executable in its server modes, in a temporary XDG_RUNTIME_DIR.
#include "CompanionProcess.h"
#include "QueryClient.h"

#include "common/Json.h"
#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace quorvantile {
namespace {

using testing::binary;
using testing::ChildProcess;
using testing::CompanionEnvironment;

constexpr double kStartSeconds = 5.0;

nlohmann::json parseLine(const std::optional<std::string>& line)
{
    EXPECT_TRUE(line.has_value());
    return nlohmann::json::parse(line.value_or("null"), nullptr, false);
}

void makeContainer(const CompanionEnvironment& environment)
{
    ASSERT_EQ(mkdir(environment.container().c_str(), 0700), 0);
}

// Binds a socket at `path` and closes it, as a crashed server leaves it.
void leaveSocketAt(const std::string& path)
{
    const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

TEST(CompanionServer, ReadyLineThenSnapshotThenAlreadyRunning)
{
    CompanionEnvironment environment;
    auto server = environment.start("--manual-diagnostics");
    const auto ready = server->readLine(kStartSeconds);
    ASSERT_TRUE(ready.has_value());
    // Keys sorted, no white space, every slash escaped.
    std::string escaped;
    for (const char c : environment.socketPath()) {
        escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    }
    EXPECT_EQ(*ready, "{\"endpoint\":\"" + escaped + "\",\"ready\":true,\"uid\":" + std::to_string(geteuid()) + "}");

    struct stat status { };
    ASSERT_EQ(lstat(environment.socketPath().c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600U);

    const auto outcome = environment.ask();
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome)) << std::get<query::Failure>(outcome).message;
    const auto snapshot = json::decode<SensorSnapshot>(std::get<std::string>(outcome));
    ASSERT_TRUE(snapshot.has_value()) << std::get<std::string>(outcome);
    EXPECT_EQ(snapshot->version, 1);
    const auto line = parseLine(server->readLine(kStartSeconds));
    EXPECT_EQ(line["requestAccepted"], true);
    EXPECT_EQ(line["sensorReadCount"], snapshot->readings.size());

    // A second server finds the lock held, says so and ends with status 0; the first keeps serving.
    auto second = environment.start("--diagnostics");
    EXPECT_EQ(second->readLine(kStartSeconds), "{\"exit\":\"alreadyRunning\"}");
    EXPECT_EQ(second->waitForExit(kStartSeconds), 0);
    EXPECT_TRUE(std::holds_alternative<std::string>(environment.ask()));

    // The server process never maps the settings window's libraries.
    std::ifstream maps("/proc/" + std::to_string(server->pid()) + "/maps");
    const std::string mapped(std::istreambuf_iterator<char>(maps), {});
    EXPECT_FALSE(mapped.empty());
    EXPECT_EQ(mapped.find("libQt"), std::string::npos);
    EXPECT_EQ(mapped.find("quorvantile-setup"), std::string::npos);
}

// Silent and misbehaving clients are shown in-process (ServerLoop) and by the hostile run; here
// only the real signature check on a client without a signature.
TEST(CompanionServer, AnUnsignedClientIsRefusedAndTheNextIsServed)
{
    CompanionEnvironment environment;
    auto server = environment.start("--manual-diagnostics");
    ASSERT_TRUE(server->readLine(kStartSeconds).has_value());
    ChildProcess unsigned_(
        binary("quorvantile-sensors-query-unsigned"), {"--socket", environment.socketPath(), "snapshot"}, {});
    EXPECT_EQ(unsigned_.waitForExit(kStartSeconds), 1);
    EXPECT_EQ(server->readLine(kStartSeconds), "{\"sensorReadCount\":0,\"trusted\":false}");
    EXPECT_TRUE(std::holds_alternative<std::string>(environment.ask()));
    EXPECT_EQ(parseLine(server->readLine(kStartSeconds))["requestAccepted"], true);
}

TEST(CompanionServer, ManagedServerEndsWhenItsControlPipeCloses)
{
    CompanionEnvironment environment;
    auto server = environment.start("--managed-server");
    // Without logging the ready line is still written, for the parent; nothing else is.
    const auto ready = parseLine(server->readLine(kStartSeconds));
    EXPECT_EQ(ready["ready"], true);
    EXPECT_TRUE(std::holds_alternative<std::string>(environment.ask()));

    server->closeInput();
    EXPECT_EQ(server->waitForExit(kStartSeconds), 0);
    EXPECT_EQ(server->readRest(1.0), "");
    struct stat status { };
    EXPECT_NE(lstat(environment.socketPath().c_str(), &status), 0) << "the socket was not removed";
    EXPECT_EQ(lstat(environment.lockPath().c_str(), &status), 0) << "the lock file must stay";
}

TEST(CompanionServerStartUp, LeftoverSocketIsReplaced)
{
    CompanionEnvironment environment;
    makeContainer(environment);
    leaveSocketAt(environment.socketPath());
    auto server = environment.start("--manual-diagnostics");
    EXPECT_EQ(parseLine(server->readLine(kStartSeconds))["ready"], true);
    EXPECT_TRUE(std::holds_alternative<std::string>(environment.ask()));
}

// Each start-up failure is shown in-process (ServerStartUp); here only what the entry makes of one:
// status 1 and no status line, whether the start or the ready line failed.
TEST(CompanionServerStartUp, AFailedStartOrReadyLineEndsWithStatusOne)
{
    CompanionEnvironment environment;
    makeContainer(environment);
    ASSERT_EQ(mkdir(environment.socketPath().c_str(), 0700), 0);
    auto server = environment.start("--diagnostics");
    EXPECT_EQ(server->waitForExit(kStartSeconds), 1);
    EXPECT_EQ(server->readRest(1.0), "") << "start-up failures write no status line";

    const CompanionEnvironment fresh;
    ChildProcess full(binary("quorvantile-sensors"), {"--diagnostics"}, fresh.variables, /*outputToDevFull=*/true);
    EXPECT_EQ(full.waitForExit(kStartSeconds), 1);
}

} // namespace
} // namespace quorvantile
