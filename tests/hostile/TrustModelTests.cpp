// The peer checks end to end: the real companion and a real signed client, both running as an
// unprivileged user (for root every root-owned file would count as the system's), the client
// plain, with a library that user wrote preloaded, traced, or in other namespaces.
#include "CompanionProcess.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

namespace quorvantile::testing {
namespace {

constexpr double kPatienceSeconds = 10.0;
const std::string kTrusted = "\"trusted\":true";
const std::string kUntrusted = "{\"sensorReadCount\":0,\"trusted\":false}";

std::optional<uid_t> unprivilegedUser() { return geteuid() == 0 ? std::optional<uid_t>(65534) : std::nullopt; }

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
        server_ = environment_.start("--manual-diagnostics", {.user = unprivilegedUser(), .errorsToPipe = true});
        const auto ready = server_->readLine(kPatienceSeconds);
        ASSERT_TRUE(ready && ready->find("\"ready\":true") != std::string::npos)
            << "the companion did not start as an unprivileged user: " << server_->readErrors(1.0);
        // The library the user could have written: a copy in the user's own folder.
        std::filesystem::copy_file(QUORVANTILE_INJECTED_LIBRARY, library_);
        if (const auto user = unprivilegedUser()) {
            ASSERT_EQ(chown(library_.c_str(), *user, *user), 0);
        }
    }

    // Runs the signed client (behind `prefix`) and returns the companion's status line for it.
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
    EXPECT_EQ(statusLineFor({}, {}, /*traced=*/true), kUntrusted) << "traced";
    // A system library preloaded is still the system's code.
    EXPECT_NE(statusLineFor({}, {{"LD_PRELOAD", "/lib/x86_64-linux-gnu/libm.so.6"}}).find(kTrusted), std::string::npos)
        << "a system library preloaded";
}

TEST_F(TrustModel, AClientInAnotherNamespaceIsRefused)
{
    int ran = 0;
    for (const std::vector<std::string>& flags : {std::vector<std::string> {"--mount"}, {"--pid", "--fork"}}) {
        auto probe = unshareCommand(flags);
        probe.emplace_back("/bin/true");
        if (ChildProcess(probe, {}).waitForExit(kPatienceSeconds) != 0) {
            continue;
        }
        ++ran;
        EXPECT_EQ(statusLineFor(unshareCommand(flags), {}), kUntrusted) << flags.front();
    }
    if (ran == 0) {
        GTEST_SKIP() << "this machine does not allow new PID or mount namespaces here";
    }
}

} // namespace
} // namespace quorvantile::testing
