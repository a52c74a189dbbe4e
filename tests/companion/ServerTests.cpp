// The server loop in-process, with fake readers and a fake signature check; and the folders it
// trusts: the container and the runtime directory must be the user's alone.
#include "common/JsonDecode.h"
#include "companion/Server.h"

#include "CompanionProcess.h"
#include "QueryClient.h"
#include "common/FileText.h"
#include "common/UniqueFd.h"
#include "companion/GroupContainer.h"
#include "companion/PrivateDirectory.h"
#include "companion/SensorTransport.h"
#include "processes/ProcessInventorySnapshot.h"
#include "sensors/SensorSnapshot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <thread>

namespace quorvantile {
namespace {

struct FixedSignature final : PeerCodeSignature {
    bool peerSatisfies(int, std::string_view) override { return trusted; }
    std::optional<std::string> takeFault() override
    {
        return faulty.exchange(false) ? std::optional<std::string>("the signature verifier is not available: gone")
                                      : std::nullopt;
    }
    std::atomic<bool> trusted = true;
    std::atomic<bool> faulty = false; // the next untrusted answer was the program's own fault
};

struct Pipe {
    UniqueFd read, write;
    explicit Pipe(int flags = 0)
    {
        int fds[2] = {-1, -1};
        EXPECT_EQ(pipe2(fds, O_CLOEXEC | flags), 0);
        read.reset(fds[0]);
        write.reset(fds[1]);
    }
};

// What was written to a non-blocking pipe so far.
std::string written(const Pipe& pipe)
{
    std::string text(4096, '\0');
    const ssize_t got = ::read(pipe.read.get(), text.data(), text.size());
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

// runServer on its own thread, with pipes for its control input, its status lines and its reasons.
struct InProcessServer {
    explicit InProcessServer(ServeFlags flags, double idleSeconds = kIdleSeconds)
    {
        ports_.signatures = signature;
        ports_.container = [path = runtime_.path()] { return std::optional<std::string>(path); };
        ports_.readers.sensorSnapshot = [this]() -> Result<SensorSnapshot> {
            ++reads;
            if (failing) {
                return Failure {"battery walk changed"};
            }
            return SensorSnapshot {
                1, systemClock().uptime(), 42, "Test CPU", {{"F0Ac", SensorReading::Unit::rpm, 1200.0}}, {}};
        };
        ports_.readers.processInventory = [this](std::int32_t preferredPID) -> Result<ProcessInventorySnapshot> {
            inventoryPreferred = preferredPID;
            return ProcessInventorySnapshot {1, systemClock().uptime(), geteuid(), inventoryIncomplete,
                {{preferredPID, "client", 1'700'000'000, 0, 10, 20, 4096}}};
        };
        // After a connection the readers ask to rest kRestDelay later; that rest asks for nothing more.
        ports_.readers.rest = [this](double now) {
            lastRest = now;
            return ++rests % 2 == 1 ? now + kRestDelay : std::numeric_limits<double>::infinity();
        };
        ports_.controlFd = control_.read.get();
        ports_.outputFd = output_.write.get();
        ports_.reasonFd = reasons_.write.get();
        ports_.idleSeconds = idleSeconds;
        thread_ = std::thread([this, flags] {
            outcome = runServer(flags, ports_);
            ended = systemClock().uptime();
            output_.write.reset();
        });
        (void)nextLine(); // the ready line, shown by the real companion's tests
    }

    ~InProcessServer()
    {
        closeControl();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    [[nodiscard]] std::string socketPath() const { return runtime_.path() + "/sensors-v1.sock"; }
    void closeControl() { control_.write.reset(); }
    void closeStatusReader() { output_.read.reset(); }
    void join() { thread_.join(); }
    std::string nextLine() { return testing::readLineFrom(output_.read.get(), buffered_, 5.0).value_or(""); }
    std::string reasons() { return written(reasons_); }
    query::Outcome askSnapshot() { return query::ask(socketPath(), *query::requestNamed("snapshot"), {}, 5.0); }

    const std::shared_ptr<FixedSignature> signature = std::make_shared<FixedSignature>();
    std::atomic<int> reads = 0;
    std::atomic<bool> failing = false;
    std::atomic<bool> inventoryIncomplete = false;
    std::atomic<std::int32_t> inventoryPreferred = 0;
    static constexpr double kRestDelay = 0.3;
    std::atomic<int> rests = 0;
    std::atomic<double> lastRest = 0;
    double ended = 0;
    ServerOutcome outcome;

private:
    testing::TemporaryDirectory runtime_;
    ServerPorts ports_;
    Pipe control_, output_, reasons_ {O_NONBLOCK};
    std::string buffered_;
    std::thread thread_;
};

TEST(ServerLoop, LoggedControlledServerRefusesExplainsFailedReadsAndEndsOnControlEndOfFile)
{
    InProcessServer server({.logging = true, .persistent = true, .controlled = true});
    const std::string refusal =
        "{\"processReadCount\":0,\"requestAccepted\":false,\"sensorReadCount\":0,\"trusted\":true}";
    // A detail request whose body never comes is refused with the same line.
    for (const std::string_view line :
        {std::string_view("snapshotX"), std::string_view("SNAPSHOT\n"), SensorTransport::processRequest}) {
        const UniqueFd client = testing::connectTo(server.socketPath());
        ASSERT_TRUE(client);
        ASSERT_EQ(send(client.get(), line.data(), line.size(), MSG_NOSIGNAL), 9);
        EXPECT_FALSE(SensorTransport::receive(client.get(), 1, systemClock().uptime() + 5.0)) << "closed, no reply";
        EXPECT_EQ(server.nextLine(), refusal) << line;
    }

    // A silent untrusted peer is refused at once: the peer check comes before the request line is
    // read, so nothing waits for the connection's deadline.
    server.signature->trusted = false;
    const double connected = systemClock().uptime();
    const UniqueFd silent = testing::connectTo(server.socketPath());
    ASSERT_TRUE(silent);
    EXPECT_EQ(server.nextLine(), "{\"sensorReadCount\":0,\"trusted\":false}");
    EXPECT_FALSE(SensorTransport::receive(silent.get(), 1, systemClock().uptime() + 5.0));
    EXPECT_LT(systemClock().uptime() - connected, kConnectionSeconds);
    EXPECT_EQ(server.reads.load(), 0);

    server.signature->trusted = true;
    const auto outcome = server.askSnapshot();
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
    EXPECT_EQ(
        server.nextLine(), "{\"processReadCount\":0,\"requestAccepted\":true,\"sensorReadCount\":1,\"trusted\":true}");
    // The reply keeps the record's field order; only status lines are sorted.
    EXPECT_EQ(std::get<std::string>(outcome).rfind("{\"version\":1,\"uptime\":", 0), 0U);

    // A reader failure is explained apart from the status lines, in the reason's one line.
    server.failing = true;
    ASSERT_TRUE(std::holds_alternative<query::Failure>(server.askSnapshot()));
    EXPECT_EQ(
        server.nextLine(), "{\"processReadCount\":0,\"requestAccepted\":true,\"sensorReadCount\":0,\"trusted\":true}");
    EXPECT_EQ(server.reasons(), "quorvantile-sensors: battery walk changed\n");

    server.closeControl();
    server.join();
    EXPECT_EQ(server.nextLine(), "{\"exit\":\"parentStoppedOrIdle\",\"requests\":1}");
    EXPECT_EQ(server.outcome.end, ServerOutcome::End::orderly);
}

// Readers that keep something between requests get their rest when they asked for it, without a
// connection to wake the server, in a managed server as in an on-demand one.
TEST(ServerLoop, TheReadersRestWhenTheyAskedToWithoutAConnection)
{
    for (const bool persistent : {true, false}) {
        InProcessServer server({.logging = true, .persistent = persistent, .controlled = persistent}, 1.0);
        ASSERT_TRUE(std::holds_alternative<std::string>(server.askSnapshot()));
        const double replied = systemClock().uptime();
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        EXPECT_EQ(server.rests.load(), 2) << "persistent " << persistent;
        EXPECT_GE(server.lastRest.load(), replied + InProcessServer::kRestDelay - 0.05);
    }
}

TEST(ServerLoop, OnDemandServerEndsIdleAfterItsLastReplyAndNoConnectionOutlivesThat)
{
    constexpr double kShortIdleSeconds = 1.0;
    InProcessServer server({.logging = true, .persistent = false, .controlled = false}, kShortIdleSeconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(std::holds_alternative<std::string>(server.askSnapshot()));
    const double replied = systemClock().uptime();
    EXPECT_NE(server.nextLine().find("\"requestAccepted\":true"), std::string::npos);
    // A silent client 0.2 s before the idle end gets what is left of the idle period, not the 0.75 s
    // of a connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    const double connected = systemClock().uptime();
    const UniqueFd client = testing::connectTo(server.socketPath());
    ASSERT_TRUE(client);
    EXPECT_NE(server.nextLine().find("\"requestAccepted\":false"), std::string::npos);
    EXPECT_EQ(server.nextLine(), "{\"exit\":\"idle\",\"requests\":1}");
    server.join();
    EXPECT_GE(server.ended - replied, kShortIdleSeconds - 0.01);
    EXPECT_LT(server.ended - connected, 0.2 + 0.45);
}

// A peer refused because a part of the server is missing (the verifier module) is refused as any
// other, and the diagnostics modes say why, once; the managed modes stay silent.
TEST(ServerLoop, APeerCheckThatFailedThroughTheProgramsOwnFaultIsExplainedInTheDiagnosticsModes)
{
    for (const bool logging : {true, false}) {
        InProcessServer server({.logging = logging, .persistent = true, .controlled = true});
        server.signature->trusted = false;
        for (const bool faulty : {true, false}) {
            server.signature->faulty = faulty;
            const UniqueFd client = testing::connectTo(server.socketPath());
            ASSERT_TRUE(client);
            // Closed once refused, after the reason was written.
            EXPECT_FALSE(SensorTransport::receive(client.get(), 1, systemClock().uptime() + 5.0));
            if (logging) {
                EXPECT_EQ(server.nextLine(), "{\"sensorReadCount\":0,\"trusted\":false}");
            }
            EXPECT_EQ(server.reasons(),
                logging && faulty ? "quorvantile-sensors: the signature verifier is not available: gone\n" : "")
                << "logging " << logging << ", faulty " << faulty;
        }
        // And it serves on.
        server.signature->trusted = true;
        EXPECT_TRUE(std::holds_alternative<std::string>(server.askSnapshot()));
    }
}

// The parent keeps its logs from the status lines: once one cannot be written, the request it was
// about gets no reply and the server ends, as it does when the parent is gone.
TEST(ServerLoop, AStatusLineThatCannotBeWrittenWithholdsTheReplyAndEndsTheServer)
{
    const auto previous = std::signal(SIGPIPE, SIG_IGN); // as the companion runs
    {
        InProcessServer server({.logging = true, .persistent = true, .controlled = true});
        server.closeStatusReader();
        EXPECT_FALSE(std::holds_alternative<std::string>(server.askSnapshot()));
        server.join();
        EXPECT_EQ(server.outcome.end, ServerOutcome::End::statusLineFailed);
    }
    std::signal(SIGPIPE, previous);
}

// The inventory's status line repeats the reader's incomplete flag, whichever it is, and the reader
// is asked to keep the client's own process.
TEST(ServerLoop, TheInventoryLineSaysWhetherTheInventoryIsIncomplete)
{
    InProcessServer server({.logging = true, .persistent = true, .controlled = true});
    for (const bool incomplete : {true, false, true}) {
        server.inventoryIncomplete = incomplete;
        const auto reply = query::ask(server.socketPath(), *query::requestNamed("inventory"), {}, 5.0);
        ASSERT_TRUE(std::holds_alternative<std::string>(reply));
        const auto inventory = json::decode<ProcessInventorySnapshot>(std::get<std::string>(reply));
        ASSERT_TRUE(inventory);
        EXPECT_EQ(inventory->incomplete, incomplete);
        EXPECT_EQ(server.inventoryPreferred.load(), getpid());
        EXPECT_EQ(server.nextLine(),
            std::string("{\"incomplete\":") + (incomplete ? "true" : "false") +
                ",\"processInventoryReadCount\":1,\"requestAccepted\":true,\"sensorReadCount\":0,\"trusted\":true}");
    }
}

TEST(ServerStartUp, EveryFailureIsAnOutcomeThatSaysWhy)
{
    using End = ServerOutcome::End;
    struct Case {
        const char* what;
        std::function<void(const std::string& runtime)> prepare;
        End end = End::startUpFailed;
        const char* container = ""; // below the runtime directory; nullptr for none
    };
    const auto file = [](const std::string& path, mode_t mode, std::string_view contents = {}) {
        const UniqueFd created(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, mode));
        ASSERT_TRUE(created && writeAll(created.get(), contents) && fchmod(created.get(), mode) == 0);
    };
    const auto lock = [](const std::string& c) { return c + "/sensors-v1.lock"; };
    const auto socketAt = [](const std::string& c) { return c + "/sensors-v1.sock"; };
    const auto nothing = [](const std::string&) {};
    const Case cases[] = {
        {"no container", nothing, End::startUpFailed, nullptr},
        {"regular file at the socket path", [&](const std::string& c) { file(socketAt(c), 0600); }},
        {"directory at the socket path", [&](const std::string& c) { ASSERT_EQ(mkdir(socketAt(c).c_str(), 0700), 0); }},
        {"lock file not empty", [&](const std::string& c) { file(lock(c), 0600, "1234\n"); }},
        {"lock file mode 0644", [&](const std::string& c) { file(lock(c), 0644); }},
        {"lock file hard-linked",
            [&](const std::string& c) {
                file(lock(c), 0600);
                ASSERT_EQ(link(lock(c).c_str(), (c + "/second-link").c_str()), 0);
            }},
        {"lock file a symbolic link",
            [&](const std::string& c) {
                file(c + "/elsewhere", 0600);
                ASSERT_EQ(symlink("elsewhere", lock(c).c_str()), 0);
            }},
        {"ready line cannot be written", nothing, End::statusLineFailed},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        testing::TemporaryDirectory runtime;
        row.prepare(runtime.path());
        const Pipe reasons(O_NONBLOCK);
        const bool writable = row.end != End::statusLineFailed;
        const UniqueFd output(open("/dev/null", (writable ? O_WRONLY : O_RDONLY) | O_CLOEXEC));
        ServerPorts ports;
        ports.signatures = std::make_shared<FixedSignature>();
        ports.container = [&row, &runtime] {
            return row.container ? std::optional(runtime.path() + row.container) : std::nullopt;
        };
        ports.outputFd = output.get();
        ports.reasonFd = reasons.write.get();
        const ServerOutcome outcome = runServer({.logging = true, .persistent = true, .controlled = false}, ports);
        EXPECT_EQ(outcome.end, row.end);
        EXPECT_FALSE(outcome.reason.empty());
        EXPECT_FALSE(written(reasons).empty()) << "one line on the reason descriptor";
    }
}

// A parent folder that others can write lets them exchange the container with a folder of their own
// at any moment: whatever the path names when the server opens it is checked and then used through
// that descriptor, never a folder that took its place between the check and the lock or the bind.
TEST(ServerStartUp, AContainerExchangedDuringTheStartIsNeverUsedUnchecked)
{
    constexpr int kStarts = 40;
    // On a busy machine the exchanger may not run for a while, leaving the other folder in place
    // for many starts in a row: go on until one start was ours.
    constexpr int kMaximumAttempts = 1000;
    const testing::TemporaryDirectory parent;
    const std::string container = parent.path() + "/container";
    const std::string other = parent.path() + "/other";
    ASSERT_EQ(mkdir(container.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    ASSERT_EQ(chmod(other.c_str(), 0777), 0); // anyone's
    const UniqueFd ours(open(container.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const UniqueFd theirs(open(other.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const auto holds = [](const UniqueFd& folder, const char* name) {
        struct stat status { };
        return fstatat(folder.get(), name, &status, AT_SYMLINK_NOFOLLOW) == 0;
    };
    std::atomic<bool> stop {false};
    std::thread exchanger([&] {
        while (!stop) {
            renameat2(AT_FDCWD, container.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
        }
    });
    int started = 0;
    int misplaced = 0;
    for (int attempt = 0; attempt < kStarts || (started == 0 && attempt < kMaximumAttempts); ++attempt) {
        Pipe control, output, reasons(O_NONBLOCK);
        ServerPorts ports;
        ports.signatures = std::make_shared<FixedSignature>();
        ports.container = [&container] { return std::optional(container); };
        ports.controlFd = control.read.get();
        ports.outputFd = output.write.get();
        ports.reasonFd = reasons.write.get();
        std::thread server([&] {
            static_cast<void>(runServer({.logging = false, .persistent = true, .controlled = true}, ports));
            output.write.reset();
        });
        std::string buffered;
        if (testing::readLineFrom(output.read.get(), buffered, 5.0)) {
            ++started;
            const bool wrong =
                holds(theirs, "sensors-v1.sock") || holds(theirs, "sensors-v1.lock") || !holds(ours, "sensors-v1.sock");
            misplaced += wrong ? 1 : 0;
        }
        control.write.reset();
        server.join();
        unlinkat(theirs.get(), "sensors-v1.sock", 0);
        unlinkat(theirs.get(), "sensors-v1.lock", 0);
    }
    stop = true;
    exchanger.join();
    EXPECT_GT(started, 0) << "the container was never ours when the server looked";
    EXPECT_EQ(misplaced, 0) << "of " << started << " starts";
}

// Sorted, compact and with escaped slashes as the real ready line shows; text that is not UTF-8 is no line.
TEST(ServerStatusLines, RefuseTextThatIsNotUtf8)
{
    EXPECT_FALSE(formatStatusLine({{"endpoint", std::string("\xFF")}}).has_value());
}

// A container of mode 0750 is refused by the real companion too (CompanionServerStartUp).
TEST(PrivateDirectoryCheck, OnlyADirectoryOfTheUserWithoutGroupOrOtherAccess)
{
    const testing::TemporaryDirectory scratch;
    const std::string path = scratch.path() + "/d";
    const auto problemOf = [&](const std::function<void()>& make) {
        std::filesystem::remove_all(path);
        make();
        const std::string problem = privateDirectoryProblem(path).value_or("");
        EXPECT_EQ(problem.find('\n'), std::string::npos) << "one line";
        return problem;
    };
    const auto directory = [&](mode_t mode, uid_t owner = geteuid()) {
        return [&path, mode, owner] {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
            ASSERT_EQ(chmod(path.c_str(), mode), 0);
            ASSERT_TRUE(owner == geteuid() || chown(path.c_str(), owner, owner) == 0);
        };
    };
    EXPECT_EQ(problemOf(directory(0700)), "");
    std::vector<std::pair<std::function<void()>, const char*>> refused {{directory(0701), "has mode 0701"},
        {directory(01777), "has mode 1777"}, {[&] { std::ofstream(path) << ""; }, "is not a directory"},
        {[&] { ASSERT_EQ(symlink(scratch.path().c_str(), path.c_str()), 0); }, "is not a directory"},
        {[] {}, "No such file or directory"}};
    if (geteuid() == 0) {
        refused.emplace_back(directory(0700, 65534), "belongs to uid 65534");
    }
    for (const auto& [make, problem] : refused) {
        EXPECT_NE(problemOf(make).find(problem), std::string::npos) << problem;
    }
}

TEST(GroupContainerLookup, ARuntimeDirectoryOthersCanReachIsPassedOver)
{
    const testing::TemporaryDirectory runtime, state;
    Environment environment;
    environment.runtimeDirectory = runtime.path();
    environment.stateHome = state.path();
    ASSERT_EQ(chmod(runtime.path().c_str(), 0755), 0);
    const auto fallback = groupContainer(environment);
    ASSERT_TRUE(fallback);
    EXPECT_NE(fallback->rfind(runtime.path(), 0), 0U) << *fallback;
    if (!isPrivateDirectory("/run/user/" + std::to_string(geteuid()))) {
        EXPECT_EQ(*fallback, state.path() + "/7Q4KX2M8PZ.com.zembo.quorvantile");
    }
}

} // namespace
} // namespace quorvantile
