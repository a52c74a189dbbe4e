// The real companion against thousands of misbehaving connections, a crash and a restart; and the peer
// checks end to end, the companion and a signed client both running as an unprivileged user (for root
// every root-owned file would count as the system's).
#include "CompanionProcess.h"
#include "FuseMount.h"

#include "common/Clock.h"
#include "companion/SensorTransport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <thread>
#include <vector>

namespace quorvantile::testing {
namespace {

namespace transport = SensorTransport;

constexpr double kPatienceSeconds = 10.0;
constexpr uid_t kNobody = 65534;
// Room for the allocator's bookkeeping; a leak of a few hundred bytes per connection exceeds it.
constexpr long kMemoryMarginBytes = 256 * 1024;

bool sendAll(int fd, std::string_view bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Waits until the server closes the connection; returns how many reply bytes came meanwhile.
std::size_t drain(int fd)
{
    std::size_t total = 0;
    char buffer[65536];
    ssize_t got = 0;
    while (transport::wait(fd, POLLIN, systemClock().uptime() + kPatienceSeconds) &&
        (got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        total += static_cast<std::size_t>(got);
    }
    return total;
}

// Entries of /proc/<pid>/fd once they hold still for 50 ms (the last connection may still be closing).
// The server's open descriptors but the process files its inventory keeps between inventories,
// which come and go with them (and whose closing the reader's own tests check).
int openDescriptors(pid_t pid)
{
    static const std::regex kept("/proc/[0-9]+(/(statm?|exe))?( \\(deleted\\))?"); // "deleted": its process is gone
    const auto count = [path = "/proc/" + std::to_string(pid) + "/fd"] {
        int open = 0;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            std::error_code gone;
            open += std::regex_match(std::filesystem::read_symlink(entry, gone).string(), kept) ? 0 : 1;
        }
        return open;
    };
    int last = count();
    for (int attempt = 0; attempt < 40; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (std::exchange(last, count()) == last) {
            break;
        }
    }
    return last;
}

// A "…kB" line of /proc/<pid>/status in bytes; -1 when missing.
long statusBytes(pid_t pid, const std::string& key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stol(line.substr(key.size() + 1)) * 1024;
        }
    }
    return -1;
}

struct Kind {
    const char* name;
    int count;
    std::function<void(const std::string&)> run;
};

// A logging server of `environment`, running as `user` when set; null when it did not get ready.
std::unique_ptr<ChildProcess> startServer(const CompanionEnvironment& environment, std::optional<uid_t> user = {})
{
    auto server = environment.start("--manual-diagnostics", {.user = user, .errorsToPipe = true});
    if (server->readLine(kPatienceSeconds).value_or("").find("\"ready\":true") != std::string::npos) {
        return server;
    }
    ADD_FAILURE() << "the companion did not get ready: " << server->readErrors(1.0);
    return nullptr;
}

class HostileClients : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_ = startServer(environment_));
        // Status lines are not read during the run: a thread drains them so that the server never blocks.
        drainer_ = std::thread([this] {
            while (server_->readLine(60.0)) { }
        });
    }

    void TearDown() override
    {
        if (server_) {
            server_->kill(SIGKILL);
        }
        if (drainer_.joinable()) {
            drainer_.join();
        }
    }

    [[nodiscard]] bool answered() const { return std::holds_alternative<std::string>(environment_.ask()); }

    CompanionEnvironment environment_;
    std::unique_ptr<ChildProcess> server_;
    std::thread drainer_;
};

TEST_F(HostileClients, ThousandsOfBadConnectionsLeaveNoTrace)
{
    // What a client does once it has sent its bytes: close, wait for the server to close, expect a
    // reply, or stall without reading.
    enum class Then { close, drain, served, stall };
    const auto lineThen = [](std::string bytes, Then then) {
        return [bytes, then](const std::string& path) {
            const UniqueFd fd = connectTo(path);
            if (!fd || !sendAll(fd.get(), bytes) || then == Then::close) {
                return;
            }
            if (then == Then::stall) {
                std::this_thread::sleep_for(std::chrono::milliseconds(900));
            } else if (const std::size_t replied = drain(fd.get()); then == Then::served) {
                EXPECT_GT(replied, 4U);
            }
        };
    };
    const std::string process(transport::processRequest);
    std::vector<Kind> kinds {
        {"silent", 6, lineThen("", Then::drain)},
        {"one byte every 100 ms", 4,
            [](const std::string& path) {
                const UniqueFd fd = connectTo(path);
                for (const char c : std::string_view("snapshot\n")) {
                    pollfd entry {fd.get(), POLLIN, 0};
                    if (!sendAll(fd.get(), std::string_view(&c, 1)) || poll(&entry, 1, 100) != 0) {
                        break; // closed by the server
                    }
                }
                drain(fd.get());
            }},
        {"request line without a line feed", 4, lineThen("snapshot", Then::drain)},
        {"unknown line", 800, lineThen("xyzzy123\n", Then::drain)},
        {"binary line", 200, lineThen(std::string("\0\xFF\n\r snap\n", 11).substr(0, 9), Then::drain)},
        {"body length 0", 300, lineThen(process + transport::lengthPrefix(0), Then::drain)},
        {"body length 2049", 300,
            lineThen(std::string(transport::quitRequest) + transport::lengthPrefix(2049) + std::string(2049, '['),
                Then::drain)},
        {"body length 0xFFFFFFFF", 300, lineThen(process + transport::lengthPrefix(0xFFFFFFFF) + "[]", Then::drain)},
        {"body that ends early", 300, lineThen(process + transport::lengthPrefix(100) + "[{\"pid\":", Then::close)},
        {"close mid-reply", 500, lineThen(std::string(transport::request), Then::close)},
        {"never reads the inventory reply", 3, lineThen(std::string(transport::inventoryRequest), Then::stall)},
        {"signed and served", 300, lineThen(std::string(transport::request), Then::served)},
        {"unsigned peer", 40,
            [](const std::string& path) {
                ChildProcess peer({binary("quorvantile-sensors-query-unsigned"), "--socket", path, "snapshot"},
                    {.errorsToPipe = true});
                EXPECT_EQ(peer.waitForExit(kPatienceSeconds), 1);
            }},
    };
    if (geteuid() == 0 && !outOfReach(kNobody, "quorvantile-codesign-test-peer")) {
        kinds.push_back({"peer of another user", 20, [](const std::string& path) {
                             ChildProcess peer({binary("quorvantile-codesign-test-peer"), path}, {.user = kNobody});
                             // The socket's mode keeps it out: connect fails and the peer exits 1.
                             EXPECT_EQ(peer.waitForExit(kPatienceSeconds), 1);
                         }});
    }
    const std::string path = environment_.socketPath();
    // A first round of everything, so that first-use allocations are not taken for growth.
    for (const Kind& kind : kinds) {
        kind.run(path);
    }
    ASSERT_TRUE(answered());
    const pid_t pid = server_->pid();
    const int descriptorsBefore = openDescriptors(pid);
    const long anonymousBefore = statusBytes(pid, "RssAnon");

    // Four clients at a time, interleaving the kinds, so the backlog fills and drains too.
    std::atomic<std::size_t> next {0};
    std::vector<std::size_t> work; // the kind of each connection
    for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
        work.insert(work.end(), static_cast<std::size_t>(kinds[kind].count), kind);
    }
    std::shuffle(work.begin(), work.end(), std::mt19937(42));
    std::vector<std::thread> clients;
    for (int thread = 0; thread < 4; ++thread) {
        clients.emplace_back([&] {
            for (std::size_t item = next++; item < work.size(); item = next++) {
                kinds[work[item]].run(path);
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }

    EXPECT_TRUE(answered()) << "a signed client is still answered";
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer keeps freed memory in quarantine and opens files of its own: the figures of
    // a sanitized server say nothing about leaks, which its own leak check reports at exit instead.
    GTEST_SKIP() << "descriptor and memory figures are compared in the unsanitized build";
#endif
    EXPECT_EQ(openDescriptors(pid), descriptorsBefore) << work.size() << " connections";
    EXPECT_LE(statusBytes(pid, "RssAnon") - anonymousBefore, kMemoryMarginBytes) << work.size() << " connections";
}

TEST_F(HostileClients, ACrashedServerIsReplacedAndALiveOneKeepsItsLock)
{
    const std::string path = environment_.socketPath();
    std::atomic<bool> stop {false};
    std::thread pressure([&] {
        while (!stop) {
            const UniqueFd fd = connectTo(path);
            if (fd) {
                sendAll(fd.get(), transport::request);
                drain(fd.get());
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    // A second server while the first lives: the lock stays where it is.
    const auto second = environment_.start("--diagnostics");
    EXPECT_EQ(second->readLine(kPatienceSeconds), "{\"exit\":\"alreadyRunning\"}");
    EXPECT_EQ(second->waitForExit(kPatienceSeconds), 0);
    EXPECT_TRUE(answered());

    server_->kill(SIGKILL);
    (void)server_->waitForExit(kPatienceSeconds);
    const auto restarted = startServer(environment_);
    EXPECT_TRUE(restarted) << "the stale socket was not replaced";
    stop = true;
    pressure.join();
    EXPECT_TRUE(answered());
}

const std::string kTrusted = "\"trusted\":true";
const std::string kUntrusted = "{\"sensorReadCount\":0,\"trusted\":false}";

std::optional<uid_t> unprivilegedUser() { return geteuid() == 0 ? std::optional(kNobody) : std::nullopt; }

// What runs before the client to put it in other namespaces. As root, unshare itself needs no
// user namespace and setpriv then becomes the user; otherwise unshare maps the user into a new one.
std::vector<std::string> unshareCommand(const std::vector<std::string>& flags)
{
    std::vector<std::string> command {"/usr/bin/unshare"};
    if (geteuid() != 0) {
        command.emplace_back("--map-current-user");
    }
    command.insert(command.end(), flags.begin(), flags.end());
    command.emplace_back("--");
    if (geteuid() == 0) {
        command.insert(command.end(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    }
    return command;
}

class TrustModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "setpriv is missing";
        }
        if (const auto user = unprivilegedUser()) {
            if (const auto reason = outOfReach(*user, "quorvantile-sensors")) {
                GTEST_SKIP() << *reason;
            }
        }
        ASSERT_TRUE(server_ = startServer(environment_, unprivilegedUser()));
        // The library the user could have written: a copy in the user's own folder.
        std::filesystem::copy_file(QUORVANTILE_INJECTED_LIBRARY, library_);
        if (const auto user = unprivilegedUser()) {
            ASSERT_EQ(chown(library_.c_str(), *user, *user), 0);
        }
    }

    // Runs the signed client behind `command` (none: as the user) and returns the companion's status line for it.
    std::string statusLineFor(
        std::vector<std::string> command, std::map<std::string, std::string> environment, bool traced = false)
    {
        const bool plain = command.empty();
        command.insert(
            command.end(), {binary("quorvantile-sensors-query"), "--socket", environment_.socketPath(), "snapshot"});
        // Sanitizer builds: the runtime must not insist on coming first or trace for leaks itself.
        environment["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
        ChildProcess client(command,
            {.environment = environment,
                .user = plain ? unprivilegedUser() : std::nullopt,
                .traced = traced,
                .errorsToPipe = true});
        EXPECT_TRUE(client.waitForExit(kPatienceSeconds).has_value()) << "the client did not end";
        return server_->readLine(kPatienceSeconds).value_or("no status line");
    }

    CompanionEnvironment environment_ {unprivilegedUser()};
    std::unique_ptr<ChildProcess> server_;
    const std::string library_ = environment_.runtime / "libinjected.so";
};

TEST_F(TrustModel, OnlyThePlainSignedClientIsTrusted)
{
    EXPECT_NE(statusLineFor({}, {}).find(kTrusted), std::string::npos) << "the plain signed client";
    EXPECT_EQ(statusLineFor({}, {{"LD_PRELOAD", library_}}), kUntrusted) << "a library the user wrote";
    // Deleted once loaded, with a link to a system library left at its path.
    const std::string hiding = environment_.runtime / "libhiding.so";
    std::filesystem::copy_file(library_, hiding);
    if (const auto user = unprivilegedUser()) {
        ASSERT_EQ(chown(hiding.c_str(), *user, *user), 0);
    }
    EXPECT_EQ(statusLineFor({},
                  {{"LD_PRELOAD", hiding}, {"QUORVANTILE_INJECTED_REPLACE_WITH", "/lib/x86_64-linux-gnu/libm.so.6"}}),
        kUntrusted)
        << "a library the user wrote, deleted and replaced by a link";
    ASSERT_TRUE(std::filesystem::is_symlink(hiding)) << "the library did not hide";
    EXPECT_EQ(statusLineFor({}, {}, /*traced=*/true), kUntrusted) << "traced";
    // A system library preloaded is still the system's code.
    EXPECT_NE(statusLineFor({}, {{"LD_PRELOAD", "/lib/x86_64-linux-gnu/libm.so.6"}}).find(kTrusted), std::string::npos)
        << "a system library preloaded";
}

// The client alone in a new user namespace, mapped to the same user: such a process could point its
// exe link at the signed program without running it. As root, setpriv becomes the user first.
std::vector<std::string> userNamespaceCommand()
{
    std::vector<std::string> command;
    if (geteuid() == 0) {
        command = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    }
    command.insert(command.end(), {"/usr/bin/unshare", "--user", "--map-current-user", "--"});
    return command;
}

TEST_F(TrustModel, AClientInAnotherNamespaceIsRefused)
{
    int ran = 0;
    for (const auto& [what, command] : {std::pair {"mount", unshareCommand({"--mount"})},
             std::pair {"pid", unshareCommand({"--pid", "--fork"})}, std::pair {"user", userNamespaceCommand()}}) {
        auto probe = command;
        probe.emplace_back("/bin/true");
        if (ChildProcess(probe, {}).waitForExit(kPatienceSeconds) != 0) {
            continue;
        }
        ++ran;
        EXPECT_EQ(statusLineFor(command, {}), kUntrusted) << what;
    }
    if (ran == 0) {
        GTEST_SKIP() << "this machine does not allow new PID or mount namespaces here";
    }
}

// A client whose executable lies on a FUSE mount, connecting while the daemon has stopped answering:
// nothing of its check may wait for that file system, so it is refused within its deadline, and the
// next client is served.
TEST(StalledFileSystem, AClientOnAStalledMountIsRefusedInTimeAndTheNextIsServed)
{
    const TemporaryDirectory source;
    std::filesystem::permissions(source.path(), std::filesystem::perms(0755));
    std::filesystem::copy_file(binary("quorvantile-sensors-query"), source / "quorvantile-sensors-query");
    FuseMount mount(source.path());
    if (mount.unavailable()) {
        GTEST_SKIP() << *mount.unavailable();
    }
    const CompanionEnvironment environment;
    const auto server = startServer(environment);
    ASSERT_TRUE(server);
    // It asks again and again; its code is in memory after the first time.
    ChildProcess client(
        {mount / "quorvantile-sensors-query", "--socket", environment.socketPath(), "--watch", "0.2", "snapshot"},
        {.errorsToPipe = true});
    EXPECT_EQ(server->readLine(kPatienceSeconds), kUntrusted) << "its executable is not read even while it answers";
    // Every page of the client in the page cache first: one it has not run yet (there are many in a
    // sanitizer build) would stall the client itself on its next request, and the server then sees none.
    {
        std::ifstream whole(mount / "quorvantile-sensors-query", std::ios::binary);
        std::vector<char> chunk(1 << 16);
        while (whole.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) { }
    } // closed while the daemon still answers its flush
    mount.stop();
    for (int ask = 0; ask < 2; ++ask) {
        EXPECT_EQ(server->readLine(kPatienceSeconds), kUntrusted) << "while the file system does not answer";
    }
    EXPECT_TRUE(std::holds_alternative<std::string>(environment.ask())) << "the next client is served";
    client.kill(SIGKILL);
}

} // namespace
} // namespace quorvantile::testing
