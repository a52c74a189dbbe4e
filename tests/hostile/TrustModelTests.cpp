// The peer checks end to end: the real companion and a real signed client, both running as an
// unprivileged user (for root every root-owned file would count as the system's), the client
// plain, with a library that user wrote preloaded, traced, or in other namespaces.
#include "Spawned.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace quorvantile::hostile {
namespace {

constexpr uid_t kNobody = 65534;
constexpr double kPatienceSeconds = 10.0;
const std::string kTrusted = "\"trusted\":true";
const std::string kUntrusted = "{\"sensorReadCount\":0,\"trusted\":false}";

std::optional<uid_t> unprivilegedUser() { return geteuid() == 0 ? std::optional(kNobody) : std::nullopt; }

// Commands that must run before the client to put it in other namespaces. As root, unshare
// itself needs no user namespace; otherwise it maps the user into a new one.
std::vector<std::string> unshareCommand(const std::vector<std::string>& flags)
{
    std::vector<std::string> command {"/usr/bin/unshare"};
    if (geteuid() != 0) {
        command.emplace_back("--map-current-user");
    }
    command.insert(command.end(), flags.begin(), flags.end());
    command.emplace_back("--");
    return command;
}

bool unshareWorks(const std::vector<std::string>& flags)
{
    auto command = unshareCommand(flags);
    command.emplace_back("/bin/true");
    Spawned probe(command);
    return probe.waitForExit(kPatienceSeconds) == 0;
}

class TrustModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "setpriv is missing";
        }
        server_ =
            std::make_unique<Spawned>(std::vector<std::string> {binary("quorvantile-sensors"), "--manual-diagnostics"},
                withEnvironment(companionEnvironment(runtime_.path()), unprivilegedUser()));
        const auto ready = server_->readLine(kPatienceSeconds);
        ASSERT_TRUE(ready && ready->find("\"ready\":true") != std::string::npos)
            << "the companion did not start as an unprivileged user: " << server_->readErrors(1.0);
        // The library the user could have written: a copy in the user's own folder.
        library_ = runtime_.path() + "/libinjected.so";
        std::filesystem::copy_file(QUORVANTILE_INJECTED_LIBRARY, library_);
        if (const auto user = unprivilegedUser()) {
            ASSERT_EQ(chown(library_.c_str(), *user, *user), 0);
        }
    }

    // Runs the signed client (behind `prefix`) and returns the companion's status line for it.
    std::string statusLineFor(
        const std::vector<std::string>& prefix, std::map<std::string, std::string> environment, bool traced = false)
    {
        std::vector<std::string> command = prefix;
        if (const auto user = unprivilegedUser(); user && !prefix.empty()) {
            // unshare runs as root; the client itself as the user.
            for (const std::string part :
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"}) {
                command.push_back(part);
            }
        }
        command.insert(
            command.end(), {binary("quorvantile-sensors-query"), "--socket", socketOf(runtime_.path()), "snapshot"});
        // Sanitizer builds: the runtime must not insist on coming first or trace for leaks itself.
        environment["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
        Spawned client(
            command, withEnvironment(environment, prefix.empty() ? unprivilegedUser() : std::nullopt, traced));
        const auto status = client.waitForExit(kPatienceSeconds);
        EXPECT_TRUE(status.has_value()) << "the client did not end";
        return server_->readLine(kPatienceSeconds).value_or("no status line");
    }

    TemporaryDirectory runtime_ {unprivilegedUser()};
    std::unique_ptr<Spawned> server_;
    std::string library_;
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
    const std::vector<std::vector<std::string>> namespaces {{"--mount"}, {"--pid", "--fork"}};
    int ran = 0;
    for (const auto& flags : namespaces) {
        if (!unshareWorks(flags)) {
            continue;
        }
        ++ran;
        EXPECT_EQ(statusLineFor(unshareCommand(flags), {}), kUntrusted) << flags.front();
    }
    if (ran == 0) {
        GTEST_SKIP() << "this machine does not allow new PID or mount namespaces here";
    }
}

TEST(FilesTheServerTrusts, AContainerOthersCanReachStopsTheStartWithOneLineOnStandardError)
{
    for (const mode_t mode : {0750, 0707, 0711}) {
        const TemporaryDirectory runtime;
        ASSERT_EQ(mkdir(containerOf(runtime.path()).c_str(), 0700), 0);
        ASSERT_EQ(chmod(containerOf(runtime.path()).c_str(), mode), 0);
        Spawned server(
            {binary("quorvantile-sensors"), "--diagnostics"}, withEnvironment(companionEnvironment(runtime.path())));
        EXPECT_EQ(server.waitForExit(kPatienceSeconds), 1);
        EXPECT_EQ(server.readLine(1.0), std::nullopt) << "standard output keeps only status lines";
        const std::string errors = server.readErrors(1.0);
        EXPECT_NE(errors.find("refusing to serve"), std::string::npos) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    }
}

} // namespace
} // namespace quorvantile::hostile
