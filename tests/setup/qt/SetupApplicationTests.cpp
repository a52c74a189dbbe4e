// The settings application as a person meets it in a real X server: the sensors enabled in its
// defaults file, a managed server as its child, Escape, a second launch, and SIGTERM.
#include "CompanionProcess.h"

#include "common/Clock.h"
#include "common/FileText.h"
#include "common/Json.h"
#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace quorvantile {
namespace {

using namespace testing;

constexpr double kPatienceSeconds = 10.0;

bool eventually(const std::function<bool()>& condition)
{
    const double deadline = systemClock().uptime() + kPatienceSeconds;
    while (!condition() && systemClock().uptime() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

std::string procFile(pid_t pid, const std::string& name)
{
    return readWholeFile(AT_FDCWD, "/proc/" + std::to_string(pid) + "/" + name, 1 << 20).value_or("");
}

// The children of `parent`, whichever of its threads started them.
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task")) {
        std::istringstream pids(procFile(parent, "task/" + task.path().filename().string() + "/children"));
        for (pid_t pid = 0; pids >> pid;) {
            children.push_back(pid);
        }
    }
    return children;
}

TEST(SetupApplication, WindowManagedServerEscapeSecondLaunchAndTerm)
{
    const std::string xvfb = "/usr/bin/Xvfb";
    const std::string xdotool = "/usr/bin/xdotool";
    if (access(xvfb.c_str(), X_OK) != 0 || access(xdotool.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "Xvfb and xdotool are needed (scripts/bootstrap installs them)";
    }
    ChildProcess server({xvfb, "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {});
    const auto number = server.readLine(kPatienceSeconds);
    if (!number || number->empty()) {
        GTEST_SKIP() << "Xvfb could not start a display here";
    }
    const std::string display = ":" + *number;
    const auto desktop = [&](std::vector<std::string> command) {
        command.insert(command.begin(), xdotool);
        ChildProcess run(command, {.environment = {{"DISPLAY", display}}});
        std::string output = run.readRest(kPatienceSeconds);
        (void)run.waitForExit(kPatienceSeconds);
        return output.substr(0, output.find('\n'));
    };
    // The id of the visible settings window, empty when there is none.
    const auto visibleWindow = [&] { return desktop({"search", "--onlyvisible", "--name", "^Quorvantile Sensors$"}); };

    CompanionEnvironment environment;
    TemporaryDirectory configuration;
    const std::string folder = configuration.path() + "/com.zembo.quorvantile.sensors";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    std::ofstream(folder + "/defaults.json") << R"({"sensorsEnabled.v1":true})";
    auto variables = environment.variables;
    variables["XDG_CONFIG_HOME"] = configuration.path();
    variables["DISPLAY"] = display;
    variables["QT_QPA_PLATFORM"] = "xcb";
    // In the sanitizer build: what the D-Bus library under Qt keeps until exit is not ours.
    variables["LSAN_OPTIONS"] = std::string("suppressions=") + QUORVANTILE_LEAK_SUPPRESSIONS;

    ChildProcess application({binary("quorvantile-sensors")}, {.environment = variables});
    std::string window;
    ASSERT_TRUE(eventually([&] { return !(window = visibleWindow()).empty(); })) << "no window appeared";

    // The managed server is the application's child, and it answers.
    pid_t child = 0;
    ASSERT_TRUE(eventually([&] {
        const auto children = childrenOf(application.pid());
        child = children.size() == 1 ? children.front() : 0;
        return child != 0;
    }));
    EXPECT_NE(procFile(child, "cmdline").find(std::string("\0--managed-server\0", 18)), std::string::npos);
    query::Outcome answer;
    ASSERT_TRUE(eventually([&] { return std::holds_alternative<std::string>(answer = environment.ask()); }));
    EXPECT_TRUE(json::decode<SensorSnapshot>(std::get<std::string>(answer)).has_value());

    // Escape closes the window; the application and its server stay.
    (void)desktop({"windowfocus", "--sync", window});
    (void)desktop({"key", "Escape"});
    EXPECT_TRUE(eventually([&] { return visibleWindow().empty(); })) << "Escape did not close the window";
    EXPECT_FALSE(application.waitForExit(0.2).has_value());

    // A second launch shows the running one's window and ends.
    ChildProcess again({binary("quorvantile-sensors")}, {.environment = variables});
    EXPECT_EQ(again.waitForExit(kPatienceSeconds), 0);
    EXPECT_TRUE(eventually([&] { return !visibleWindow().empty(); }));
    EXPECT_EQ(childrenOf(application.pid()), std::vector<pid_t> {child});

    // SIGTERM ends the application the orderly way: the server is stopped first.
    ASSERT_EQ(kill(application.pid(), SIGTERM), 0);
    // Close the control pipe, 2 s, SIGTERM, 1 s, SIGKILL, 1 s, and the application's own exit.
    EXPECT_EQ(application.waitForExit(5.0), 0);
    EXPECT_TRUE(kill(child, 0) == -1 && errno == ESRCH) << "the server outlived the application";
    EXPECT_FALSE(std::filesystem::exists(environment.socketPath()));
}

} // namespace
} // namespace quorvantile
