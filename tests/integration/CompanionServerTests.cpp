// The real executable in its server modes, in a temporary XDG_RUNTIME_DIR.
#include "CompanionProcess.h"
#include "QueryClient.h"

#include "common/Json.h"
#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

TEST(CompanionServer, ReadyLineThenSnapshot)
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

    // The server process never maps the settings window's libraries.
    std::ifstream maps("/proc/" + std::to_string(server->pid()) + "/maps");
    const std::string mapped(std::istreambuf_iterator<char>(maps), {});
    EXPECT_FALSE(mapped.empty());
    EXPECT_EQ(mapped.find("libQt"), std::string::npos);
    EXPECT_EQ(mapped.find("quorvantile-setup"), std::string::npos);
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
    EXPECT_EQ(lstat((environment.container() + "/sensors-v1.lock").c_str(), &status), 0) << "the lock file must stay";
}

// Each start-up failure is shown in-process (ServerStartUp); here what the entry makes of one: status
// 1, no status line and one line on standard error, whether the start or the ready line failed.
TEST(CompanionServerStartUp, AFailedStartOrReadyLineEndsWithStatusOne)
{
    CompanionEnvironment environment;
    ASSERT_EQ(mkdir(environment.container().c_str(), 0700), 0);
    ASSERT_EQ(chmod(environment.container().c_str(), 0750), 0);
    auto server = environment.start("--diagnostics", {.errorsToPipe = true});
    EXPECT_EQ(server->waitForExit(kStartSeconds), 1);
    EXPECT_EQ(server->readRest(1.0), "") << "start-up failures write no status line";
    const std::string errors = server->readErrors(1.0);
    EXPECT_NE(errors.find("refusing to serve"), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;

    const CompanionEnvironment fresh;
    EXPECT_EQ(fresh.start("--diagnostics", {.outputToDevFull = true})->waitForExit(kStartSeconds), 1);
}

} // namespace
} // namespace quorvantile
