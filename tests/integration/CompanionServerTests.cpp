// The real executable in its server modes and with each request, and a real quit of a child process in
// a cgroup named like a desktop application's scope.
#include "CompanionProcess.h"
#include "TestPaths.h"
#include "common/JsonDecode.h"

#include "common/FileText.h"
#include "companion/AppQuitRequest.h"
#include "companion/SensorTransport.h"
#include "companion/linux/RunningApplicationText.h"
#include "processes/ProcessDetailSnapshot.h"
#include "processes/ProcessInventorySnapshot.h"
#include "processes/linux/ProcfsProcessTable.h"
#include "sensors/AccessoryBatterySnapshot.h"
#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

namespace quorvantile {
namespace {

using testing::binary;
using testing::ChildProcess;
using testing::CompanionEnvironment;

constexpr double kStartSeconds = 5.0;
constexpr const char* kApplicationID = "org.example.Editor";

nlohmann::json parseLine(const std::optional<std::string>& line)
{
    EXPECT_TRUE(line.has_value());
    return nlohmann::json::parse(line.value_or("null"), nullptr, false);
}

// The reply decoded as a `T`; absent when there is none or it does not decode.
template<typename T> std::optional<T> decoded(const query::Outcome& reply)
{
    const auto* bytes = std::get_if<std::string>(&reply);
    return bytes ? json::decode<T>(*bytes) : std::nullopt;
}

std::string shown(const query::Outcome& reply)
{
    const auto* bytes = std::get_if<std::string>(&reply);
    return bytes ? *bytes : std::get<query::Failure>(reply).message;
}

TEST(SensorCompanionCommandLine, AnythingButTheSevenFormsEndsWithStatusTwoSilently)
{
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>> {
             {"--on-demand", "--managed-server"}, {"--managed-server", "x"}, {"--MANAGED-SERVER"}, {""},
             {"--diagnostics="}, {"-h"}, {"--help"}, {"--on-demand-server", "--on-demand-server"}}) {
        std::vector<std::string> command {binary("quorvantile-sensors")};
        command.insert(command.end(), arguments.begin(), arguments.end());
        ChildProcess child(command, {.errorsToPipe = true});
        child.closeInput();
        EXPECT_EQ(child.readRest(kStartSeconds) + child.readErrors(kStartSeconds), "") << arguments.front();
        EXPECT_EQ(child.waitForExit(kStartSeconds), 2) << arguments.front();
    }
}

TEST(CompanionServer, ReadyLineThenSnapshot)
{
    CompanionEnvironment environment;
    auto server = environment.start("--manual-diagnostics");
    // Keys sorted, no white space, every slash escaped.
    const std::string endpoint = std::regex_replace(environment.socketPath(), std::regex("/"), "\\/");
    EXPECT_EQ(server->readLine(kStartSeconds),
        "{\"endpoint\":\"" + endpoint + "\",\"ready\":true,\"uid\":" + std::to_string(geteuid()) + "}");

    const auto socket = std::filesystem::symlink_status(environment.socketPath());
    EXPECT_EQ(socket.type(), std::filesystem::file_type::socket);
    EXPECT_EQ(socket.permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    const auto reply = environment.ask();
    const auto snapshot = decoded<SensorSnapshot>(reply);
    ASSERT_TRUE(snapshot.has_value()) << shown(reply);
    const auto line = parseLine(server->readLine(kStartSeconds));
    EXPECT_EQ(line["requestAccepted"], true);
    EXPECT_EQ(line["sensorReadCount"], snapshot->readings.size());

    // The server process never maps the settings window's libraries.
    const std::string mapped =
        readWholeFile(AT_FDCWD, "/proc/" + std::to_string(server->pid()) + "/maps", 1 << 24).value_or("");
    EXPECT_FALSE(mapped.empty());
    EXPECT_EQ(mapped.find("libQt"), std::string::npos);
    EXPECT_EQ(mapped.find("quorvantile-setup"), std::string::npos);
    // Nor the D-Bus library, until an accessory request needs it.
    EXPECT_EQ(mapped.find("libsystemd"), std::string::npos);
}

TEST(CompanionServer, ManagedServerEndsWhenItsControlPipeCloses)
{
    CompanionEnvironment environment;
    auto server = environment.start("--managed-server");
    // Without logging the ready line is still written, for the parent; nothing else is.
    EXPECT_EQ(parseLine(server->readLine(kStartSeconds))["ready"], true);
    EXPECT_TRUE(std::holds_alternative<std::string>(environment.ask()));

    server->closeInput();
    EXPECT_EQ(server->waitForExit(kStartSeconds), 0);
    EXPECT_EQ(server->readRest(1.0), "");
    EXPECT_FALSE(std::filesystem::exists(environment.socketPath())) << "the socket was not removed";
    EXPECT_TRUE(std::filesystem::exists(environment.container() + "/sensors-v1.lock")) << "the lock file must stay";
}

// Each start-up failure is shown in-process (ServerStartUp); here what the entry makes of one: status
// 1, no status line and one line on standard error.
TEST(CompanionServerStartUp, AFailedStartEndsWithStatusOne)
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
}

class CompanionRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        environment.variables["QUORVANTILE_SYSFS_ROOT"] =
            quorvantile::testing::fixturesDirectory() + "/accessories/workstation";
        std::filesystem::create_directories(data.path() + "/applications");
        std::ofstream(data.path() + "/applications/" + kApplicationID + ".desktop")
            << "[Desktop Entry]\nType=Application\nName=Editor\nExec=editor\n";
        environment.variables["XDG_DATA_DIRS"] = data.path();
        environment.variables["XDG_DATA_HOME"] = environment.runtime.path();
        server = environment.start("--manual-diagnostics");
        ASSERT_TRUE(server->readLine(kStartSeconds).has_value());
    }

    ProcessInventoryReading readingOf(pid_t pid)
    {
        const auto reply = environment.ask("inventory");
        const auto inventory = decoded<ProcessInventorySnapshot>(reply);
        EXPECT_TRUE(inventory) << shown(reply);
        const auto status = parseLine(server->readLine(kStartSeconds));
        EXPECT_EQ(status["processInventoryReadCount"], inventory ? inventory->readings.size() : 0);
        EXPECT_EQ(status["incomplete"], inventory && inventory->incomplete);
        const auto& readings = inventory ? inventory->readings : std::vector<ProcessInventoryReading> {};
        const auto found =
            std::find_if(readings.begin(), readings.end(), [pid](const auto& reading) { return reading.pid == pid; });
        EXPECT_NE(found, readings.end()) << "the client's own processes are always in its inventory";
        return found == readings.end() ? ProcessInventoryReading {} : *found;
    }

    // The outcome of a quit request for `reading`, absent when the reply is not a response to it.
    std::optional<AppQuitResponse::Outcome> quit(const ProcessInventoryReading& reading, std::uint64_t microseconds,
        const std::string& identifier = kApplicationID)
    {
        const AppQuitRequest request {{reading.pid, reading.startSeconds, microseconds}, identifier};
        const auto response = decoded<AppQuitResponse>(environment.ask("quit", *json::encode(request)));
        quitStatus = server->readLine(kStartSeconds).value_or("no status line");
        return response && response->request == request ? std::optional(response->outcome) : std::nullopt;
    }

    testing::TemporaryDirectory data;
    CompanionEnvironment environment;
    std::unique_ptr<ChildProcess> server;
    std::string quitStatus;
};

TEST_F(CompanionRequests, InventoryHoldsTheClientAndItsIdentityGetsDetails)
{
    const ProcessInventoryReading own = readingOf(getpid());
    ASSERT_EQ(own.pid, getpid());

    // A body of exactly 2,048 bytes is answered (the limits themselves are the transport's and decoder's tests).
    std::string body =
        *json::encode(std::vector {ProcessDetailRequest {own.pid, own.startSeconds, own.startMicroseconds}});
    body.resize(SensorTransport::kMaximumRequestBodyBytes, ' ');
    const auto reply = environment.ask("process", body);
    const auto details = decoded<ProcessDetailSnapshot>(reply);
    ASSERT_TRUE(details && details->readings.size() == 1U) << shown(reply);
    EXPECT_TRUE(details->readings[0].threads.has_value()) << shown(reply);
    EXPECT_EQ(parseLine(server->readLine(kStartSeconds))["processReadCount"], 1);
}

TEST_F(CompanionRequests, QuitBodiesThatCannotBeDecodedGetNoWordAndRefusedQuitsAreAnswered)
{
    const ProcessInventoryReading own = readingOf(getpid());
    for (const std::string& body : {std::string("{\"process\":"),
             *json::encode(AppQuitRequest {{own.pid, own.startSeconds, own.startMicroseconds}, "COM.APPLE.FINDER"})}) {
        EXPECT_TRUE(std::holds_alternative<query::Failure>(environment.ask("quit", body))) << body;
    }
    // This test process is no desktop application: a well-formed request for it is refused.
    EXPECT_EQ(quit(own, own.startMicroseconds, "org.example.NotAnApp"), AppQuitResponse::Outcome::refused);
    // The two undecodable bodies wrote nothing: the next line is the quit's.
    EXPECT_EQ(quitStatus,
        R"({"processReadCount":0,"quitRequested":false,"requestAccepted":true,"sensorReadCount":0,"trusted":true})");
}

TEST_F(CompanionRequests, AccessoryBatteriesOfTheFixtureMachine)
{
    const auto reply = environment.ask("battery");
    const auto snapshot = decoded<AccessoryBatterySnapshot>(reply);
    ASSERT_TRUE(snapshot) << shown(reply);
    EXPECT_EQ(snapshot->readings.size(), 5U); // which ones is the fixture tests' business
    EXPECT_EQ(server->readLine(kStartSeconds),
        R"({"accessoryBatteryReadCount":5,"incomplete":false,"requestAccepted":true,"sensorReadCount":0,"trusted":true})");
}

// A real quit, on each cgroup hierarchy the lookup reads where this machine lets us make a cgroup.
TEST_F(CompanionRequests, QuitsTheMainProcessOfAnAppScope)
{
    const auto mountinfo = readWholeFile(AT_FDCWD, "/proc/self/mountinfo", 1 << 20);
    const auto mounts = applications::cgroupMounts(quorvantile::mounts::parseMountInfo(mountinfo.value_or(""))
                                                       .value_or(std::vector<quorvantile::mounts::Mount> {}));
    int ran = 0;
    for (const auto& mount : {mounts.unified, mounts.namedSystemd}) {
        const std::string cgroup = mount && mount->root == "/"
            ? mount->mountPoint + "/app-gnome-" + kApplicationID + "-" + std::to_string(getpid()) + ".scope"
            : "";
        if (cgroup.empty() || mkdir(cgroup.c_str(), 0755) != 0) {
            continue;
        }
        ++ran;
        SCOPED_TRACE(cgroup);
        const auto remove = [](const std::string* path) {
            for (int attempt = 0; attempt < 200 && rmdir(path->c_str()) != 0; ++attempt) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        };
        const std::unique_ptr<const std::string, decltype(remove)> removed(&cgroup, remove);
        // The application: it waits until it is in its scope, then says so and reports SIGTERM.
        ChildProcess application(
            {"/bin/sh", "-c", "read go; trap 'echo TERM; exit 0' TERM; echo ready; while :; do sleep 0.05; done"}, {});
        ASSERT_TRUE(std::ofstream(cgroup + "/cgroup.procs") << application.pid() << std::flush);
        application.closeInput();
        ASSERT_EQ(application.readLine(kStartSeconds), "ready");

        const auto reading = readingOf(application.pid());
        const auto companion = readingOf(server->pid());
        // One microsecond off: another process as far as the companion can tell; it is left alone.
        const auto start = reading.startMicroseconds;
        EXPECT_EQ(quit(reading, start == 999'999 ? start - 1 : start + 1), AppQuitResponse::Outcome::refused);
        // The companion never quits itself.
        EXPECT_EQ(quit(companion, companion.startMicroseconds), AppQuitResponse::Outcome::refused);
        EXPECT_EQ(application.readLine(0.2), std::nullopt) << "the application was signalled";

        EXPECT_EQ(quit(reading, start), AppQuitResponse::Outcome::requested);
        EXPECT_NE(quitStatus.find("\"quitRequested\":true"), std::string::npos) << quitStatus;
        EXPECT_EQ(application.readLine(kStartSeconds), "TERM");
        EXPECT_EQ(application.waitForExit(kStartSeconds), 0);
    }
    if (ran == 0) {
        GTEST_SKIP() << "no cgroup hierarchy here lets this test create a cgroup";
    }
}

// The start time of a live process as the companion reads it.
ProcessDetailRequest identityOf(pid_t pid)
{
    ProcfsProcessTable table("/proc");
    ProcessBsdInfo info;
    EXPECT_EQ(table.bsdInfo(pid, info), kBsdInfoBytes);
    return {pid, info.pbi_start_tvsec, info.pbi_start_tvusec};
}

// A cgroup named like a desktop application's scope, on the first hierarchy this machine lets us use;
// removed once its processes are gone.
class AppScope {
public:
    explicit AppScope(const std::string& applicationID)
    {
        const auto mountinfo = readWholeFile(AT_FDCWD, "/proc/self/mountinfo", 1 << 22);
        const auto mounts = applications::cgroupMounts(quorvantile::mounts::parseMountInfo(mountinfo.value_or(""))
                                                           .value_or(std::vector<quorvantile::mounts::Mount> {}));
        for (const auto& mount : {mounts.unified, mounts.namedSystemd}) {
            const std::string path = mount && mount->root == "/"
                ? mount->mountPoint + "/app-" + applicationID + "-" + std::to_string(getpid()) + ".scope"
                : "";
            if (!path.empty() && mkdir(path.c_str(), 0755) == 0) {
                path_ = path;
                return;
            }
        }
    }
    ~AppScope()
    {
        for (int attempt = 0; !path_.empty() && attempt < 200 && rmdir(path_.c_str()) != 0; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    AppScope(const AppScope&) = delete;
    AppScope& operator=(const AppScope&) = delete;

    [[nodiscard]] bool made() const { return !path_.empty(); }
    [[nodiscard]] bool adopt(pid_t pid) const
    {
        return static_cast<bool>(std::ofstream(path_ + "/cgroup.procs") << pid << std::flush);
    }

private:
    std::string path_;
};

// The companion's data folders: `data`, holding a regular application's desktop entry.
void addApplicationEntry(CompanionEnvironment& environment, const testing::TemporaryDirectory& data)
{
    std::filesystem::create_directories(data.path() + "/applications");
    std::ofstream(data.path() + "/applications/" + kApplicationID + ".desktop")
        << "[Desktop Entry]\nType=Application\nName=Editor\nExec=editor\n";
    environment.variables["XDG_DATA_DIRS"] = data.path();
    environment.variables["XDG_DATA_HOME"] = environment.runtime.path();
}

// On Linux an application's identifier comes from how it was launched, so the processes that keep
// the companion running and the one asking are protected by their pids: the companion's parent and
// the peer itself are never quit, even as the main process of an application's scope.
TEST(CompanionQuit, TheCompanionsParentIsNotQuit)
{
    const testing::TemporaryDirectory data;
    CompanionEnvironment environment;
    addApplicationEntry(environment, data);
    const AppScope scope(kApplicationID);
    if (!scope.made()) {
        GTEST_SKIP() << "no cgroup hierarchy here lets this test create a cgroup";
    }
    // The parent: the scope's main process, which starts the companion as its child.
    ChildProcess parent(
        {"/bin/sh", "-c", "read go; \"$0\" --manual-diagnostics; echo ended", binary("quorvantile-sensors")},
        {.environment = environment.variables});
    ASSERT_TRUE(scope.adopt(parent.pid()));
    ASSERT_TRUE(parent.write("go\n"));
    ASSERT_NE(parent.readLine(kStartSeconds).value_or("").find("\"ready\":true"), std::string::npos);
    const std::string children =
        "/proc/" + std::to_string(parent.pid()) + "/task/" + std::to_string(parent.pid()) + "/children";
    const pid_t companion = std::atoi(readWholeFile(AT_FDCWD, children, 4096).value_or("0").c_str());
    ASSERT_GT(companion, 0);
    const AppQuitRequest quitParent {identityOf(parent.pid()), kApplicationID};
    const auto response = decoded<AppQuitResponse>(environment.ask("quit", *json::encode(quitParent)));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->outcome, AppQuitResponse::Outcome::refused) << "the companion's parent";
    static_cast<void>(parent.waitForExit(0.3));
    EXPECT_EQ(parent.endSignal(), 0) << "the companion's parent was signalled";
    kill(companion, SIGKILL);
    parent.kill(SIGKILL);
}

TEST(CompanionQuit, TheAskingPeerIsNotQuit)
{
    const testing::TemporaryDirectory data;
    CompanionEnvironment environment;
    addApplicationEntry(environment, data);
    const auto server = environment.start("--manual-diagnostics");
    ASSERT_TRUE(server->readLine(kStartSeconds).has_value());
    const AppScope scope(kApplicationID);
    if (!scope.made()) {
        GTEST_SKIP() << "no cgroup hierarchy here lets this test create a cgroup";
    }
    // The peer: the signed query tool as the scope's main process, asking to quit itself.
    ChildProcess peer({"/bin/sh", "-c", "read body; exec \"$0\" --json --socket \"$1\" quit \"$body\"",
                          binary("quorvantile-sensors-query"), environment.socketPath()},
        {.errorsToPipe = true});
    ASSERT_TRUE(scope.adopt(peer.pid()));
    const AppQuitRequest quitItself {identityOf(peer.pid()), kApplicationID};
    ASSERT_TRUE(peer.write(*json::encode(quitItself) + "\n"));
    const auto reply = json::decode<AppQuitResponse>(peer.readRest(kStartSeconds));
    EXPECT_EQ(peer.waitForExit(kStartSeconds), 0) << "the peer was signalled";
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->outcome, AppQuitResponse::Outcome::refused);
}

// QUORVANTILE_PROC_ROOT points the readers that need no live process at a fixture tree. The peer
// check and the quit act on live processes through the kernel, so a tree crafted to describe them
// otherwise must change nothing: an unsigned client stays untrusted, and a process that is no
// application is not quit.
TEST(CompanionProcRoot, ACraftedTreeRedirectsNeitherTrustNorQuit)
{
    const testing::TemporaryDirectory crafted, data;
    const std::string proc = crafted.path() + "/proc";
    const auto link = [](const std::string& target, const std::string& at) {
        std::filesystem::create_directories(std::filesystem::path(at).parent_path());
        std::filesystem::create_symlink(target, at);
    };
    const auto write = [](const std::string& at, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(at).parent_path());
        std::ofstream(at) << text;
    };
    // What a process looks like there: the signed program, our namespaces, no tracer, no libraries.
    const auto craft = [&](pid_t pid, const std::string& executable) {
        const std::string entry = proc + "/" + std::to_string(pid);
        link(executable, entry + "/exe");
        link("/proc/self/ns/pid", entry + "/ns/pid");
        link("/proc/self/ns/mnt", entry + "/ns/mnt");
        link("/proc/self/ns/user", entry + "/ns/user");
        write(entry + "/status", "Name:\tparent\nTracerPid:\t0\n");
        write(entry + "/maps", "");
        write(entry + "/stat", readWholeFile(AT_FDCWD, "/proc/" + std::to_string(pid) + "/stat", 4096).value_or(""));
    };
    link("/proc/self/ns/pid", proc + "/self/ns/pid");
    link("/proc/self/ns/mnt", proc + "/self/ns/mnt");
    link("/proc/self/ns/user", proc + "/self/ns/user");
    write(proc + "/stat", readWholeFile(AT_FDCWD, "/proc/stat", 1 << 20).value_or(""));
    write(proc + "/self/mountinfo",
        "1 0 0:1 / " + crafted.path() + "/cgroup rw - cgroup2 cgroup2 rw\n" +
            readWholeFile(AT_FDCWD, "/proc/self/mountinfo", 1 << 22).value_or(""));
    std::filesystem::create_directories(data.path() + "/applications");
    std::ofstream(data.path() + "/applications/org.example.Victim.desktop") << "[Desktop Entry]\nType=Application\n";
    craft(getpid(), std::filesystem::read_symlink("/proc/self/exe"));

    CompanionEnvironment environment;
    environment.variables["QUORVANTILE_PROC_ROOT"] = proc;
    environment.variables["XDG_DATA_DIRS"] = data.path();
    environment.variables["XDG_DATA_HOME"] = environment.runtime.path();
    const auto server = environment.start("--manual-diagnostics");
    ASSERT_TRUE(server->readLine(kStartSeconds).has_value());

    // An unsigned client, dressed up as the signed one before it connects.
    ChildProcess unsigned_({"/bin/sh", "-c", "read go; exec \"$0\" --socket \"$1\" snapshot",
                               binary("quorvantile-sensors-query-unsigned"), environment.socketPath()},
        {.errorsToPipe = true});
    craft(unsigned_.pid(), binary("quorvantile-sensors-query"));
    ASSERT_TRUE(unsigned_.write("go\n"));
    EXPECT_EQ(unsigned_.waitForExit(kStartSeconds), 1) << "the unsigned client was answered";
    EXPECT_EQ(server->readLine(kStartSeconds), "{\"sensorReadCount\":0,\"trusted\":false}");

    // A plain process, dressed up as the main process of an application.
    ChildProcess victim(
        {"/bin/sh", "-c", "trap 'echo TERM; exit 0' TERM; echo ready; while :; do sleep 0.05; done"}, {});
    ASSERT_EQ(victim.readLine(kStartSeconds), "ready");
    craft(victim.pid(), "/bin/sh");
    write(proc + "/" + std::to_string(victim.pid()) + "/cgroup", "0::/app-org.example.Victim-1.scope\n");
    write(crafted.path() + "/cgroup/app-org.example.Victim-1.scope/cgroup.procs", std::to_string(victim.pid()) + "\n");
    const AppQuitRequest request {identityOf(victim.pid()), "org.example.Victim"};
    const auto response = decoded<AppQuitResponse>(environment.ask("quit", *json::encode(request)));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->outcome, AppQuitResponse::Outcome::refused);
    EXPECT_EQ(victim.readLine(0.3), std::nullopt) << "a process that is no application was signalled";
}

} // namespace
} // namespace quorvantile
