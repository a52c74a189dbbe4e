// The settings application as a person meets it: the real executable in a real X server, with the
// sensors enabled in its defaults file, a managed server as its child, Escape, a second launch,
// and SIGTERM.
#include "CompanionProcess.h"
#include "QueryClient.h"

#include "common/Clock.h"
#include "common/Json.h"
#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

namespace quorvantile {
namespace {

using testing::binary;
using testing::ChildProcess;
using testing::CompanionEnvironment;
using testing::TemporaryDirectory;

constexpr double kPatienceSeconds = 10.0;
// Close the control pipe, 2 s, SIGTERM, 1 s, SIGKILL, 1 s, and the application's own exit.
constexpr double kStopSequenceSeconds = 5.0;

std::optional<std::string> program(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const auto candidate = std::filesystem::path(folder) / name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return std::nullopt;
}

bool eventually(const std::function<bool()>& condition, double seconds = kPatienceSeconds)
{
    const double deadline = systemClock().uptime() + seconds;
    while (!condition()) {
        if (systemClock().uptime() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The children of `parent`, from the parent field of every process's stat line.
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = readFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        if (fields >> state >> ppid && ppid == parent) {
            children.push_back(std::stoi(name));
        }
    }
    return children;
}

class Desktop {
public:
    Desktop(std::string xdotool, std::string display) : xdotool_(std::move(xdotool)), display_(std::move(display)) { }
    [[nodiscard]] std::string xdotool(const std::vector<std::string>& arguments) const
    {
        ChildProcess run(xdotool_, arguments, {{"DISPLAY", display_}});
        std::string output = run.readRest(kPatienceSeconds);
        (void)run.waitForExit(kPatienceSeconds);
        while (!output.empty() && output.back() == '\n') {
            output.pop_back();
        }
        return output;
    }
    // The id of the visible settings window, empty when there is none.
    [[nodiscard]] std::string visibleWindow() const
    {
        return xdotool({"search", "--onlyvisible", "--name", "^Quorvantile Sensors$"});
    }

private:
    std::string xdotool_;
    std::string display_;
};

TEST(SetupApplication, WindowManagedServerEscapeSecondLaunchAndTerm)
{
    const auto xvfb = program("Xvfb");
    const auto xdotool = program("xdotool");
    if (!xvfb || !xdotool) {
        GTEST_SKIP() << "Xvfb and xdotool are needed (scripts/bootstrap installs them)";
    }
    ChildProcess server(*xvfb, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {});
    const auto number = server.readLine(kPatienceSeconds);
    if (!number || number->empty()) {
        GTEST_SKIP() << "Xvfb could not start a display here";
    }
    const Desktop desktop(*xdotool, ":" + *number);

    CompanionEnvironment environment;
    TemporaryDirectory configuration;
    const std::string folder = configuration.path() + "/com.zembo.quorvantile.sensors";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::ofstream(folder + "/defaults.json") << R"({"sensorsEnabled.v1":true})";
    auto variables = environment.variables;
    variables["XDG_CONFIG_HOME"] = configuration.path();
    variables["DISPLAY"] = ":" + *number;
    variables["QT_QPA_PLATFORM"] = "xcb";
    // In the sanitizer build: what the D-Bus library under Qt keeps until exit is not ours.
    variables["LSAN_OPTIONS"] = std::string("suppressions=") + QUORVANTILE_LEAK_SUPPRESSIONS;

    ChildProcess application(binary("quorvantile-sensors"), {}, variables);
    std::string window;
    ASSERT_TRUE(eventually([&] { return !(window = desktop.visibleWindow()).empty(); })) << "no window appeared";
    EXPECT_NE(
        readFile("/proc/" + std::to_string(application.pid()) + "/maps").find("libQt6Widgets"), std::string::npos);

    // The managed server is the application's child, and it answers.
    pid_t child = 0;
    ASSERT_TRUE(eventually([&] {
        const auto children = childrenOf(application.pid());
        child = children.size() == 1 ? children.front() : 0;
        return child != 0;
    }));
    const std::string arguments = readFile("/proc/" + std::to_string(child) + "/cmdline");
    EXPECT_NE(arguments.find(std::string("\0--managed-server\0", 18)), std::string::npos);
    query::Outcome answer;
    ASSERT_TRUE(eventually([&] { return std::holds_alternative<std::string>(answer = environment.ask()); }));
    EXPECT_TRUE(json::decode<SensorSnapshot>(std::get<std::string>(answer)).has_value());

    // Escape closes the window; the application and its server stay.
    (void)desktop.xdotool({"windowfocus", "--sync", window});
    (void)desktop.xdotool({"key", "Escape"});
    EXPECT_TRUE(eventually([&] { return desktop.visibleWindow().empty(); })) << "Escape did not close the window";
    EXPECT_FALSE(application.waitForExit(0.2).has_value());

    // A second launch shows the running one's window and ends.
    ChildProcess again(binary("quorvantile-sensors"), {}, variables);
    EXPECT_EQ(again.waitForExit(kPatienceSeconds), 0);
    EXPECT_TRUE(eventually([&] { return !desktop.visibleWindow().empty(); }));
    EXPECT_EQ(childrenOf(application.pid()), std::vector<pid_t> {child});

    // SIGTERM ends the application the orderly way: the server is stopped first.
    ASSERT_EQ(kill(application.pid(), SIGTERM), 0);
    EXPECT_EQ(application.waitForExit(kStopSequenceSeconds), 0);
    EXPECT_TRUE(kill(child, 0) == -1 && errno == ESRCH) << "the server outlived the application";
    EXPECT_FALSE(std::filesystem::exists(environment.socketPath()));
}

} // namespace
} // namespace quorvantile
