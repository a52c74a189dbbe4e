// The Linux launcher on its own, with shell-script children: how it starts them, watches them and
// lets go of them, and what it does with a child it cannot watch. This program's own pidfd_open is
// found before the C library's, so a test can make it refuse as a process out of descriptors does.
#include "ChildScripts.h"
#include "SetupTestSupport.h"

#include "common/Pipe.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <sys/pidfd.h>
}

#include <atomic>
#include <chrono>
#include <future>

namespace {

// The errno the next pidfd_open fails with; 0: it opens the pidfd.
std::atomic<int> refusePidfd {0};

} // namespace

extern "C" int pidfd_open(pid_t pid, unsigned int flags) noexcept
{
    if (const int number = refusePidfd.exchange(0); number != 0) {
        errno = number;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, flags));
}

namespace quorvantile::setup {
namespace {

using namespace testing;
using namespace std::chrono_literals;

constexpr const char* kName = "/opt/quorvantile/bin/quorvantile-sensors";

// A launched script child with the test's ends of its pipes: closing `input` ends it.
struct Launched {
    Pipe input;
    Pipe output;
    std::atomic<int> exits {0};
    std::unique_ptr<WatchedChild> child;

    Outcome launch(ChildLauncher& launcher, const std::string& argument = "--managed-server")
    {
        if (!makePipe(input) || !makePipe(output)) {
            return SetupError::system("pipe2", errno);
        }
        Outcome launched = launcher.launch(
            kName, argument, input.read.get(), output.write.get(), [this] { ++exits; }, child);
        input.read.reset();
        output.write.reset();
        return launched;
    }

    // The child's first line, once it has written it: its script's records are complete by then.
    std::string firstLine() const
    {
        std::string line;
        char byte = 0;
        pollfd event {output.read.get(), POLLIN, 0};
        while (::poll(&event, 1, 10'000) == 1 && ::read(output.read.get(), &byte, 1) == 1 && byte != '\n') {
            line += byte;
        }
        return line;
    }

    bool waitForExits(int count) const
    {
        for (auto deadline = std::chrono::steady_clock::now() + 10s; exits < count;) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
};

TEST(PidfdChildLauncher, StartsTheChildUnderTheGivenNameAndReportsItsEndOnce)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", kReadyThenWaitForEndOfInput);
    const auto launcher = launcherFor(script);
    Launched launched;
    ASSERT_TRUE(launched.launch(*launcher, "--on-demand-server").ok());
    EXPECT_EQ(launched.firstLine(), R"({"ready":true})");
    EXPECT_EQ(contents(script + ".name"), std::string(kName) + "\n");
    EXPECT_EQ(contents(script + ".arguments"), "1\n--on-demand-server\n");
    EXPECT_TRUE(launched.child->running());
    EXPECT_EQ(launched.exits, 0);

    launched.input.write.reset(); // the end of its input ends it
    ASSERT_TRUE(launched.waitForExits(1));
    EXPECT_FALSE(launched.child->running());
    EXPECT_TRUE(launched.child->signal(SIGTERM)) << "a child that is gone counts as signalled";
    launched.child.reset();
    EXPECT_EQ(launched.exits, 1);
    EXPECT_TRUE(childrenOf(::getpid()).empty()) << "the watcher reaped it";
}

TEST(PidfdChildLauncher, SignalsReachTheChild)
{
    ChildScripts scripts;
    const auto script = scripts.write(
        "child", R"(trap 'echo TERM > "${0%.sh}.signals"; exit 0' TERM; printf 'up\n'; while :; do sleep 0.05; done)");
    Launched launched;
    ASSERT_TRUE(launched.launch(*launcherFor(script)).ok());
    ASSERT_EQ(launched.firstLine(), "up");
    EXPECT_TRUE(launched.child->signal(SIGTERM));
    ASSERT_TRUE(launched.waitForExits(1));
    EXPECT_EQ(contents(script + ".signals"), "TERM\n");
}

// Letting go of a child that still runs neither waits for it nor signals it; one that has ended
// is still reported.
TEST(PidfdChildLauncher, LettingGoWakesTheWatcherWithoutTouchingTheChild)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", kReadyThenWaitForEndOfInput);
    const auto launcher = launcherFor(script);
    Launched running;
    ASSERT_TRUE(running.launch(*launcher).ok());
    ASSERT_FALSE(running.firstLine().empty());
    const pid_t pid = std::stoi(contents(script + ".pid"));
    auto lettingGo = std::async(std::launch::async, [&running] { running.child.reset(); });
    if (lettingGo.wait_for(5s) != std::future_status::ready) {
        running.input.write.reset(); // ends the child, which frees the stuck watcher
        FAIL() << "letting go waited for the child";
    }
    EXPECT_EQ(::kill(pid, 0), 0) << "the child still runs";
    running.input.write.reset();
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid); // nobody watches it any more: the test reaps it
    EXPECT_TRUE(WIFEXITED(status)) << "it ended at the end of its input, not by a signal";
    EXPECT_EQ(running.exits, 0);

    Launched ended;
    ASSERT_TRUE(ended.launch(*launcher).ok());
    ended.input.write.reset();
    while (ended.child->running()) {
        std::this_thread::sleep_for(1ms);
    }
    ended.child.reset();
    EXPECT_EQ(ended.exits, 1);
    EXPECT_TRUE(childrenOf(::getpid()).empty());
}

TEST(PidfdChildLauncher, AChildThatCannotBeWatchedIsKilledReapedAndReported)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", kReadyThenWaitForEndOfInput);
    const auto launcher = launcherFor(script);
    Launched launched;
    refusePidfd = EMFILE;
    auto launching = std::async(std::launch::async, [&] { return launched.launch(*launcher); });
    if (launching.wait_for(5s) != std::future_status::ready) {
        launched.input.write.reset(); // ends the child that was left running
        FAIL() << "the unwatched child was left running";
    }
    EXPECT_EQ(launching.get(), Outcome(SetupError::system("pidfd_open", EMFILE)));
    EXPECT_EQ(launched.child, nullptr);
    EXPECT_EQ(launched.exits, 1) << "reported before the error returns";
    EXPECT_TRUE(childrenOf(::getpid()).empty()) << "and reaped";
}

// A start whose launch cannot watch the child fails with the launcher's error, the child stopped.
TEST(PidfdChildLauncher, TheControllerPassesAnUnwatchableChildOn)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", kReadyThenWaitForEndOfInput);
    const auto controller = controllerFor(script);
    std::atomic<int> exits {0};
    refusePidfd = ENOMEM;
    EXPECT_EQ(
        waitFor(controller->start(true, [&exits] { ++exits; })), Outcome(SetupError::system("pidfd_open", ENOMEM)));
    EXPECT_EQ(exits, 1);
    EXPECT_TRUE(childrenOf(::getpid()).empty());
    EXPECT_TRUE(waitFor(controller->start(true, [&exits] { ++exits; })).ok()) << "nothing was recorded";
    EXPECT_TRUE(waitFor(controller->stop()).ok());
    EXPECT_EQ(exits, 2);
}

} // namespace
} // namespace quorvantile::setup
