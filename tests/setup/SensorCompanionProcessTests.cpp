// The server-child controller that the macOS backend uses, over a fake launcher whose children are
// pipes that the test writes to and watches, and a clock that the controller's sleeps move on.
#include "SetupTestSupport.h"

#include "setup/SensorCompanionProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace quorvantile::setup {
namespace {

using testing::waitFor;

constexpr const char* kExecutable = "/opt/quorvantile/bin/quorvantile-sensors";
constexpr const char* kReadyLine = "{\"ready\":true,\"uid\":501}\n";

// Moved on only by the controller's sleeps, which run on the controller's thread.
struct SteppedClock final : Clock {
    std::atomic<double> now = 100.0;
    [[nodiscard]] double uptime() const override { return now; }
};

// What a fake child does and what was done to it.
struct FakeChildState {
    std::mutex mutex;
    std::string writesFirst = kReadyLine; // written to its standard output at launch
    bool keepsOutputOpen = true; // false: its standard output ends after writesFirst
    bool endsAfterWriting = false; // found ended the first time it is looked at
    bool endsAtEndOfInput = true; // a server ends when its control pipe closes
    bool endsAtTerminate = true;
    bool endsAtKill = true;
    bool killDelivered = true;

    std::string executable;
    std::string argument;
    UniqueFd input; // the child's end of its standard input
    UniqueFd output; // the child's end of its standard output, while it keeps it open
    std::function<void()> onExit;
    bool ended = false;
    bool watched = false;
    std::vector<int> signals;
    int exits = 0;

    // Ends the child once and reports it, as the platform's watcher does.
    void end()
    {
        if (!ended) {
            ended = true;
            ++exits;
            onExit();
        }
    }

    bool inputClosed() const
    {
        pollfd event {input.get(), POLLIN, 0};
        char byte = 0;
        return ::poll(&event, 1, 0) == 1 && ::read(input.get(), &byte, 1) == 0;
    }
};

struct FakeChild final : WatchedChild {
    explicit FakeChild(std::shared_ptr<FakeChildState> held) : state(std::move(held)) { }
    ~FakeChild() override
    {
        const std::lock_guard lock(state->mutex);
        state->watched = false;
    }
    [[nodiscard]] bool running() const override
    {
        const std::lock_guard lock(state->mutex);
        if (!state->ended && (state->endsAfterWriting || (state->endsAtEndOfInput && state->inputClosed()))) {
            state->end();
        }
        return !state->ended;
    }
    [[nodiscard]] bool signal(int number) override
    {
        const std::lock_guard lock(state->mutex);
        state->signals.push_back(number);
        if (number == SIGKILL && !state->killDelivered) {
            return false;
        }
        if ((number == SIGTERM && state->endsAtTerminate) || (number == SIGKILL && state->endsAtKill)) {
            state->end();
        }
        return true;
    }
    std::shared_ptr<FakeChildState> state;
};

struct FakeLauncher final : ChildLauncher {
    std::shared_ptr<FakeChildState> child = std::make_shared<FakeChildState>();
    std::optional<Outcome> failure;
    int launches = 0;

    [[nodiscard]] Outcome launch(const std::string& executable, const std::string& argument, int input, int output,
        std::function<void()> onExit, std::unique_ptr<WatchedChild>& launched) override
    {
        ++launches;
        if (failure) {
            return *failure;
        }
        const std::lock_guard lock(child->mutex);
        child->executable = executable;
        child->argument = argument;
        child->onExit = std::move(onExit);
        child->watched = true;
        child->input.reset(::fcntl(input, F_DUPFD_CLOEXEC, 0));
        if (!child->writesFirst.empty() && ::write(output, child->writesFirst.data(), child->writesFirst.size()) < 0) {
            return SetupError::system("write", errno);
        }
        if (child->keepsOutputOpen) {
            child->output.reset(::fcntl(output, F_DUPFD_CLOEXEC, 0));
        }
        launched = std::make_unique<FakeChild>(child);
        return {};
    }
};

class SensorCompanionProcessTest : public ::testing::Test {
protected:
    SensorCompanionProcessTest()
        : controller(std::make_unique<SensorCompanionProcess>(
              kExecutable, launcher, clock, [this](std::chrono::milliseconds interval) {
                  clock.now = clock.now + std::chrono::duration<double>(interval).count();
              }))
    {
    }

    Outcome start(bool persistent = true)
    {
        return waitFor(controller->start(persistent, [this] { ++exitsReported; }));
    }

    // Runs `operation` and answers how long it took on the controller's clock.
    template<typename Operation> double timed(Operation operation)
    {
        const double before = clock.now;
        operation();
        return clock.now - before;
    }

    FakeChildState& child() { return *launcher->child; }

    SteppedClock clock;
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    std::atomic<int> exitsReported = 0;
    std::unique_ptr<SensorCompanionProcess> controller;
};

TEST_F(SensorCompanionProcessTest, StartsTheExecutableWithItsRunModeAndKeepsOnlyTheControlPipe)
{
    EXPECT_EQ(start(/*persistent=*/true), Outcome());
    EXPECT_EQ(child().executable, kExecutable);
    EXPECT_EQ(child().argument, "--managed-server");
    EXPECT_FALSE(child().inputClosed()); // the control pipe stays open while the child is wanted
    // The parent closed its end of the output: the child's next write would find no reader.
    pollfd event {child().output.get(), POLLOUT, 0};
    ASSERT_EQ(::poll(&event, 1, 0), 1);
    EXPECT_NE(event.revents & POLLERR, 0);

    EXPECT_EQ(start(), Outcome(SensorCompanionProcessError::unavailable)); // one child at a time
    EXPECT_EQ(launcher->launches, 1);

    launcher->child = std::make_shared<FakeChildState>();
    EXPECT_EQ(waitFor(controller->stop()), Outcome());
    EXPECT_EQ(start(/*persistent=*/false), Outcome());
    EXPECT_EQ(child().argument, "--on-demand-server");
}

TEST_F(SensorCompanionProcessTest, AFailedStartStopsTheChildItLaunched)
{
    struct Case {
        const char* name;
        std::string writesFirst;
        bool keepsOutputOpen;
        std::optional<Outcome> expected; // absent: the JSON parser's error
        bool endsAfterWriting = false;
    };
    const Case cases[] = {
        {"not ready", "{\"ready\":false}\n", true, SensorCompanionProcessError::notReady},
        {"not JSON", "ready\n", true, std::nullopt},
        {"exits before writing", "", false, SensorCompanionProcessError::notReady},
        {"ready, and gone before the line was read", kReadyLine, false, SensorCompanionProcessError::notReady, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        launcher->child = std::make_shared<FakeChildState>();
        child().writesFirst = c.writesFirst;
        child().keepsOutputOpen = c.keepsOutputOpen;
        child().endsAfterWriting = c.endsAfterWriting;
        const Outcome started = start();
        if (c.expected) {
            EXPECT_EQ(started, *c.expected);
        } else {
            EXPECT_TRUE(!started.ok() && std::holds_alternative<ParseError>(started.error().reason()));
        }
        // Stopped at once by closing its control pipe, without a signal, and reported once.
        EXPECT_TRUE(child().ended);
        EXPECT_TRUE(child().signals.empty());
        EXPECT_EQ(child().exits, 1);
        EXPECT_FALSE(child().watched);
    }
    EXPECT_EQ(exitsReported, 4);

    // A launch that fails records nothing: the next start launches again.
    launcher->failure = SetupError::system("posix_spawn", ENOENT);
    EXPECT_EQ(start(), Outcome(SetupError::system("posix_spawn", ENOENT)));
    launcher->failure.reset();
    launcher->child = std::make_shared<FakeChildState>();
    EXPECT_EQ(start(), Outcome());
    EXPECT_EQ(launcher->launches, 6);
}

TEST_F(SensorCompanionProcessTest, NoReadyLineWithinTheTimeLimitIsNotReady)
{
    // Real time for this one: the wait for the line is a poll on the pipe.
    controller = std::make_unique<SensorCompanionProcess>(
        kExecutable, launcher, systemClock(), SensorCompanionProcess::Sleep {}, ChildTiming {.readySeconds = 0.2});
    child().writesFirst = "{\"ready\":tr"; // and nothing more, with the output kept open
    EXPECT_EQ(start(), Outcome(SensorCompanionProcessError::notReady));
    EXPECT_TRUE(child().ended);
}

TEST_F(SensorCompanionProcessTest, StopEscalatesFromTheControlPipeToTerminateToKill)
{
    struct Case {
        const char* name;
        bool endsAtEndOfInput;
        bool endsAtTerminate;
        std::vector<int> signals;
        double seconds; // on the controller's clock, plus at most one 20 ms look per wait
    };
    const Case cases[] = {
        {"ends at end of input", true, true, {}, 0.0},
        {"ignores end of input, obeys SIGTERM", false, true, {SIGTERM}, 2.0},
        {"ignores SIGTERM", false, false, {SIGTERM, SIGKILL}, 3.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        launcher->child = std::make_shared<FakeChildState>();
        child().endsAtEndOfInput = c.endsAtEndOfInput;
        child().endsAtTerminate = c.endsAtTerminate;
        ASSERT_EQ(start(), Outcome());
        const double seconds = timed([this] { EXPECT_EQ(waitFor(controller->stop()), Outcome()); });
        EXPECT_EQ(child().signals, c.signals);
        EXPECT_GE(seconds, c.seconds);
        EXPECT_LE(seconds, c.seconds + 0.05);
        EXPECT_EQ(child().exits, 1);
        EXPECT_FALSE(child().watched); // forgotten: the next start may launch
    }
    EXPECT_EQ(waitFor(controller->stop()), Outcome()); // idle: at once
    EXPECT_EQ(waitFor(controller->stop()), Outcome());
}

TEST_F(SensorCompanionProcessTest, AChildThatCannotBeKilledStaysRecorded)
{
    child().endsAtEndOfInput = false;
    child().endsAtTerminate = false;
    child().endsAtKill = false;
    ASSERT_EQ(start(), Outcome());
    const double seconds =
        timed([this] { EXPECT_EQ(waitFor(controller->stop()), Outcome(SensorCompanionProcessError::couldNotStop)); });
    EXPECT_GE(seconds, 4.0);
    EXPECT_LE(seconds, 4.07);
    EXPECT_TRUE(child().watched);
    EXPECT_EQ(start(), Outcome(SensorCompanionProcessError::unavailable));

    // A kill that cannot be sent fails at once, without waiting for it.
    child().killDelivered = false;
    EXPECT_LE(
        timed([this] { EXPECT_EQ(waitFor(controller->stop()), Outcome(SensorCompanionProcessError::couldNotStop)); }),
        3.05);
    EXPECT_EQ(child().signals, (std::vector<int> {SIGTERM, SIGKILL, SIGTERM, SIGKILL}));
}

TEST_F(SensorCompanionProcessTest, DestroyingTheControllerClosesTheControlPipeWithoutWaiting)
{
    child().endsAtEndOfInput = false;
    ASSERT_EQ(start(), Outcome());
    const double before = clock.now;
    controller.reset();
    EXPECT_EQ(clock.now, before);
    EXPECT_TRUE(child().inputClosed());
    EXPECT_TRUE(child().signals.empty());
    EXPECT_FALSE(child().watched);
}

} // namespace
} // namespace quorvantile::setup
