// A real quit: a child process in a cgroup named like a desktop application's scope, its desktop
// entry in a temporary data folder, and the request sent to the real companion.
#include "CompanionProcess.h"
#include "QueryClient.h"

#include "common/FileText.h"
#include "companion/AppQuitRequest.h"
#include "companion/linux/RunningApplicationText.h"
#include "processes/ProcessInventorySnapshot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

namespace quorvantile {
namespace {

using testing::ChildProcess;
using testing::CompanionEnvironment;

constexpr double kPatienceSeconds = 5.0;
constexpr const char* kApplicationID = "org.example.Editor";

// A cgroup made for the test, emptied and removed at the end.
class TestCgroup {
public:
    explicit TestCgroup(std::string path) : path_(std::move(path)) { created_ = mkdir(path_.c_str(), 0755) == 0; }
    ~TestCgroup()
    {
        if (!created_) {
            return;
        }
        for (int attempt = 0; attempt < 200 && rmdir(path_.c_str()) != 0; ++attempt) {
            for (const std::int32_t pid : members()) {
                kill(pid, SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    TestCgroup(const TestCgroup&) = delete;
    TestCgroup& operator=(const TestCgroup&) = delete;

    [[nodiscard]] bool created() const { return created_; }
    [[nodiscard]] bool add(pid_t pid) const
    {
        std::ofstream procs(path_ + "/cgroup.procs");
        procs << pid << std::flush;
        return static_cast<bool>(procs);
    }
    [[nodiscard]] std::vector<std::int32_t> members() const
    {
        const auto text = readWholeFile(AT_FDCWD, path_ + "/cgroup.procs", 1 << 20);
        return text ? applications::parseProcessIDs(*text).value_or(std::vector<std::int32_t> {})
                    : std::vector<std::int32_t> {};
    }

private:
    std::string path_;
    bool created_ = false;
};

// The mount of the hierarchy the lookup reads, when this machine has one.
std::optional<std::string> mountPoint(applications::CgroupHierarchy hierarchy)
{
    const auto mountinfo = readWholeFile(AT_FDCWD, "/proc/self/mountinfo", 1 << 20);
    const auto mounts = applications::cgroupMounts(mountinfo.value_or(""));
    const auto& mount = hierarchy == applications::CgroupHierarchy::unified ? mounts.unified : mounts.namedSystemd;
    if (!mount || mount->root != "/") {
        return std::nullopt;
    }
    return mount->mountPoint;
}

std::optional<ProcessInventoryReading> inventoryReading(const CompanionEnvironment& environment, pid_t pid)
{
    const auto reply = environment.ask("inventory");
    const auto* bytes = std::get_if<std::string>(&reply);
    const auto inventory = bytes ? json::decode<ProcessInventorySnapshot>(*bytes) : std::nullopt;
    if (!inventory) {
        return std::nullopt;
    }
    const auto found = std::find_if(inventory->readings.begin(), inventory->readings.end(),
        [pid](const auto& reading) { return reading.pid == pid; });
    return found == inventory->readings.end() ? std::nullopt : std::optional(*found);
}

std::optional<AppQuitResponse::Outcome> quit(
    const CompanionEnvironment& environment, const ProcessInventoryReading& reading, std::int64_t microsecondsOff = 0)
{
    const AppQuitRequest request {
        {reading.pid, reading.startSeconds,
            static_cast<std::uint64_t>(static_cast<std::int64_t>(reading.startMicroseconds) + microsecondsOff)},
        kApplicationID};
    const auto reply =
        query::ask(environment.socketPath(), *query::requestNamed("quit"), *json::encode(request), kPatienceSeconds);
    const auto* bytes = std::get_if<std::string>(&reply);
    const auto response = bytes ? json::decode<AppQuitResponse>(*bytes) : std::nullopt;
    if (!response || response->request != request) {
        return std::nullopt;
    }
    return response->outcome;
}

void quitsTheApplicationIn(applications::CgroupHierarchy hierarchy)
{
    const auto mount = mountPoint(hierarchy);
    if (!mount) {
        GTEST_SKIP() << "this machine has no such cgroup hierarchy mounted";
    }
    const TestCgroup cgroup(*mount + "/app-gnome-" + kApplicationID + "-" + std::to_string(getpid()) + ".scope");
    if (!cgroup.created()) {
        GTEST_SKIP() << "cannot create a cgroup below " << *mount << " (a writable cgroup file system is needed)";
    }

    testing::TemporaryDirectory data;
    testing::TemporaryDirectory emptyHome;
    std::filesystem::create_directories(data.path() + "/applications");
    std::ofstream(data.path() + "/applications/" + kApplicationID + ".desktop")
        << "[Desktop Entry]\nType=Application\nName=Editor\nExec=editor\n";
    CompanionEnvironment environment;
    environment.variables["XDG_DATA_DIRS"] = data.path();
    environment.variables["XDG_DATA_HOME"] = emptyHome.path();
    auto server = environment.start("--manual-diagnostics");
    ASSERT_TRUE(server->readLine(kPatienceSeconds));

    // The application: it waits until it is in its scope, then says so and reports SIGTERM.
    ChildProcess application(
        "/bin/sh", {"-c", "read go; trap 'echo TERM; exit 0' TERM; echo ready; while :; do sleep 0.05; done"}, {});
    ASSERT_TRUE(cgroup.add(application.pid()));
    application.closeInput();
    ASSERT_EQ(application.readLine(kPatienceSeconds), "ready");

    const auto reading = inventoryReading(environment, application.pid());
    ASSERT_TRUE(reading);
    // One microsecond off: another process as far as the companion can tell; it is left alone.
    EXPECT_EQ(
        quit(environment, *reading, reading->startMicroseconds == 999'999 ? -1 : 1), AppQuitResponse::Outcome::refused);
    // The companion never quits itself.
    const auto companion = inventoryReading(environment, server->pid());
    ASSERT_TRUE(companion);
    EXPECT_EQ(quit(environment, *companion), AppQuitResponse::Outcome::refused);
    EXPECT_EQ(application.readLine(0.2), std::nullopt) << "the application was signalled";

    EXPECT_EQ(quit(environment, *reading), AppQuitResponse::Outcome::requested);
    EXPECT_EQ(application.readLine(kPatienceSeconds), "TERM");
    EXPECT_EQ(application.waitForExit(kPatienceSeconds), 0);
}

TEST(AppQuitEndToEnd, QuitsTheMainProcessOfAnAppScopeOnTheUnifiedHierarchy)
{
    quitsTheApplicationIn(applications::CgroupHierarchy::unified);
}

TEST(AppQuitEndToEnd, QuitsTheMainProcessOfAnAppScopeOnTheHybridSystemdHierarchy)
{
    quitsTheApplicationIn(applications::CgroupHierarchy::namedSystemd);
}

} // namespace
} // namespace quorvantile
