// The settings application as a person meets it in a real X server: the sensors enabled in its
// defaults file, a managed server as its child, Escape, later launches, and SIGTERM; and an
// on-demand run whose server ends just as the parent launches it again.
#include "CompanionProcess.h"

#include "common/Clock.h"
#include "common/FileText.h"
#include "common/JsonDecode.h"
#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
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

bool alive(pid_t pid)
{
    const std::string stat = procFile(pid, "stat");
    const auto state = stat.rfind(") ");
    return state != std::string::npos && stat.size() > state + 2 && stat[state + 2] != 'Z';
}

// The settings application in a virtual X server (the test is skipped where none can start), with
// its own configuration folder and its server's group container.
class SetupApplication : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(kXvfb, X_OK) != 0 || access(kXdotool, X_OK) != 0) {
            GTEST_SKIP() << "Xvfb and xdotool are needed (scripts/bootstrap installs them)";
        }
        displayServer_ = std::make_unique<ChildProcess>(
            std::vector<std::string> {kXvfb, "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            ChildOptions {});
        const auto number = displayServer_->readLine(kPatienceSeconds);
        if (!number || number->empty()) {
            GTEST_SKIP() << "Xvfb could not start a display here";
        }
        display_ = ":" + *number;
        variables = environment.variables;
        variables["XDG_CONFIG_HOME"] = configuration.path();
        variables["DISPLAY"] = display_;
        variables["QT_QPA_PLATFORM"] = "xcb";
        // In the sanitizer build: what the D-Bus library under Qt keeps until exit is not ours.
        variables["LSAN_OPTIONS"] = std::string("suppressions=") + QUORVANTILE_LEAK_SUPPRESSIONS;
    }

    // The application with `arguments`, and `extra` variables.
    [[nodiscard]] std::unique_ptr<ChildProcess> launch(
        std::vector<std::string> arguments = {}, const std::map<std::string, std::string>& extra = {}) const
    {
        arguments.insert(arguments.begin(), binary("quorvantile-sensors"));
        auto all = variables;
        all.insert(extra.begin(), extra.end());
        return std::make_unique<ChildProcess>(arguments, ChildOptions {.environment = all});
    }

    std::string desktop(std::vector<std::string> command) const
    {
        command.insert(command.begin(), kXdotool);
        ChildProcess run(command, {.environment = {{"DISPLAY", display_}}});
        std::string output = run.readRest(kPatienceSeconds);
        (void)run.waitForExit(kPatienceSeconds);
        return output.substr(0, output.find('\n'));
    }
    // The id of the visible settings window, empty when there is none.
    [[nodiscard]] std::string visibleWindow() const
    {
        return desktop({"search", "--onlyvisible", "--name", "^Quorvantile Sensors$"});
    }

    // The one child of `application` that runs and was started with `mode`; 0 when there is none.
    static pid_t serverOf(pid_t application, const std::string& mode)
    {
        if (!alive(application)) {
            return 0;
        }
        for (const pid_t child : childrenOf(application)) {
            if (alive(child) && procFile(child, "cmdline").find('\0' + mode + '\0') != std::string::npos) {
                return child;
            }
        }
        return 0;
    }

    static constexpr const char* kXvfb = "/usr/bin/Xvfb";
    static constexpr const char* kXdotool = "/usr/bin/xdotool";
    CompanionEnvironment environment;
    TemporaryDirectory configuration;
    std::map<std::string, std::string> variables;

private:
    std::unique_ptr<ChildProcess> displayServer_;
    std::string display_;
};

TEST_F(SetupApplication, WindowManagedServerEscapeLaterLaunchesAndTerm)
{
    const std::string folder = configuration.path() + "/com.zembo.quorvantile.sensors";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    std::ofstream(folder + "/defaults.json") << R"({"sensorsEnabled.v1":true})";

    const auto application = launch();
    std::string window;
    ASSERT_TRUE(eventually([&] { return !(window = visibleWindow()).empty(); })) << "no window appeared";

    // The managed server is the application's child, and it answers.
    pid_t child = 0;
    ASSERT_TRUE(eventually([&] {
        const auto children = childrenOf(application->pid());
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
    EXPECT_FALSE(application->waitForExit(0.2).has_value());

    // A launch at login while it runs opens nothing and ends.
    const auto atLogin = launch({}, {{"QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM", "1"}});
    EXPECT_EQ(atLogin->waitForExit(kPatienceSeconds), 0);
    const double watchUntil = systemClock().uptime() + 1.5;
    bool opened = false;
    while (!opened && systemClock().uptime() < watchUntil) {
        opened = !visibleWindow().empty();
    }
    EXPECT_FALSE(opened) << "a launch at login showed the window";

    // A launch by hand shows the running one's window and ends.
    const auto again = launch();
    EXPECT_EQ(again->waitForExit(kPatienceSeconds), 0);
    EXPECT_TRUE(eventually([&] { return !visibleWindow().empty(); }));
    EXPECT_EQ(childrenOf(application->pid()), std::vector<pid_t> {child});

    // SIGTERM ends the application the orderly way: the server is stopped first.
    ASSERT_EQ(kill(application->pid(), SIGTERM), 0);
    // Close the control pipe, 2 s, SIGTERM, 1 s, SIGKILL, 1 s, and the application's own exit.
    EXPECT_EQ(application->waitForExit(5.0), 0);
    EXPECT_TRUE(kill(child, 0) == -1 && errno == ESRCH) << "the server outlived the application";
    EXPECT_FALSE(std::filesystem::exists(environment.socketPath()));
}

// The parent launches again with --on-demand just as the idle on-demand server of the running
// application ends, which then quits: the run must end with a server, in one application or the
// other, never with the later launch told "ok" by one that quits anyway.
TEST_F(SetupApplication, ARelaunchAsTheOnDemandServerEndsEndsWithAServer)
{
    const auto first = launch({"--on-demand"});
    pid_t ended = 0;
    ASSERT_TRUE(eventually([&] { return (ended = serverOf(first->pid(), "--on-demand-server")) != 0; }));

    // Frozen, the application hears of its server's end and of the later launch together.
    ASSERT_EQ(kill(first->pid(), SIGSTOP), 0);
    ASSERT_EQ(kill(ended, SIGKILL), 0);
    const auto second = launch({"--on-demand"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // time to connect and ask
    ASSERT_EQ(kill(first->pid(), SIGCONT), 0);

    pid_t server = 0;
    ASSERT_TRUE(eventually([&] {
        server = serverOf(first->pid(), "--on-demand-server");
        server = server != 0 && server != ended ? server : serverOf(second->pid(), "--on-demand-server");
        return server != 0;
    })) << "no application runs a server";
    query::Outcome answer;
    EXPECT_TRUE(eventually([&] { return std::holds_alternative<std::string>(answer = environment.ask()); }));
}

} // namespace
} // namespace quorvantile
