// The server child controller against real children: shell scripts that play a server's part, and
// the setup state driving it with its exit reports arriving from the watcher threads.
#include "ChildScripts.h"
#include "SetupTestSupport.h"

#include "setup/ReadyLine.h"
#include "setup/SensorCompanionSetupState.h"
#include "setup/linux/SystemSensorCompanionProcess.h"

#include <gtest/gtest.h>

#include <atomic>

#include <signal.h>

namespace quorvantile::setup {
namespace {

using namespace testing;

// The verdicts on what a child writes first; a parse error's message is the parser's own.
const Outcome kReady;
const Outcome kNotReady = SensorCompanionProcessError::notReady;
const std::optional<Outcome> kParseError;

void expectVerdict(const Outcome& outcome, const std::optional<Outcome>& expected)
{
    if (expected) {
        EXPECT_EQ(outcome, *expected) << (outcome.ok() ? "" : outcome.error().localizedDescription());
    } else {
        EXPECT_TRUE(!outcome.ok() && std::holds_alternative<ParseError>(outcome.error().reason()));
    }
}

TEST(ReadyLineParser, JudgesTheFirstNonEmptyLine)
{
    const std::vector<std::pair<std::string, std::optional<Outcome>>> cases = {
        {"{\"ready\":true}\n", kReady},
        {"\n\n{\"ready\":true,\"endpoint\":\"/run/x\",\"uid\":1000}\nmore", kReady},
        {"{\"ready\":true}", kReady}, // the whole buffer when it holds no line feed
        {"{\"ready\":true}\n{not json", kReady},
        {"", kNotReady},
        {"\n\n", kNotReady},
        {"{\"ready\":false}\n", kNotReady},
        {"{\"ready\":1}\n", kNotReady},
        {"{\"ready\":\"true\"}\n", kNotReady},
        {"{\"endpoint\":\"x\"}\n", kNotReady},
        {"[{\"ready\":true}]\n", kNotReady},
        {"true\n", kNotReady},
        {"ready\n", kParseError},
        {"{\"ready\":true\n}\n", kParseError},
        {"55975650760e968\n", kParseError}, // a number no double holds
        {"{\"ready\":true,\"uid\":1e999}\n", kParseError},
    };
    for (const auto& [buffer, expected] : cases) {
        SCOPED_TRACE(buffer);
        expectVerdict(parseReadyLine(buffer), expected);
    }
}

TEST(SystemSensorCompanionProcess, JudgesWhatTheChildWritesFirst)
{
    const std::tuple<const char*, std::string, std::optional<Outcome>> cases[] = {
        {"in two pieces", R"(printf '{"rea'; sleep 0.2; printf 'dy": true}\n'; exec cat >/dev/null)", kReady},
        // Reading stops past 4095 bytes; the cut-off object is then refused by the parser.
        {"5000 bytes without a line feed",
            R"(printf '{"ready":true,"padding":"'; head -c 5000 /dev/zero | tr '\000' x; exec cat >/dev/null)",
            kParseError},
        {"exits before writing", "exit 3", kNotReady},
    };
    ChildScripts scripts;
    for (const auto& [name, body, expected] : cases) {
        SCOPED_TRACE(name);
        const auto script = scripts.write("child", body);
        SystemSensorCompanionProcess controller(script);
        std::atomic<int> exits {0};
        const Outcome started = waitFor(controller.start(true, [&exits] { ++exits; }));
        expectVerdict(started, expected);
        EXPECT_EQ(contents(script + ".arguments"), "1\n--managed-server\n");
        if (started.ok()) {
            EXPECT_EQ(exits, 0);
            EXPECT_TRUE(waitFor(controller.stop()).ok());
        }
        EXPECT_EQ(exits, 1) << "every launched child is reported once, also after a failure";
        EXPECT_TRUE(waitFor(controller.stop()).ok()) << "a second stop has nothing to do";
    }
}

TEST(SystemSensorCompanionProcess, KeepsOneChildAtATime)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", testing::kReadyThenWaitForEndOfInput);
    SystemSensorCompanionProcess controller(script);
    std::atomic<int> exits {0};
    ASSERT_TRUE(waitFor(controller.start(false, [&exits] { ++exits; })).ok());
    EXPECT_EQ(contents(script + ".arguments"), "1\n--on-demand-server\n");
    EXPECT_EQ(
        waitFor(controller.start(true, [&exits] { ++exits; })), Outcome(SensorCompanionProcessError::unavailable));
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(waitFor(controller.stop()).ok());
    EXPECT_EQ(exits, 1);
    EXPECT_TRUE(waitFor(controller.start(true, [&exits] { ++exits; })).ok()) << "a stop makes room again";
    EXPECT_TRUE(waitFor(controller.stop()).ok());
}

TEST(SystemSensorCompanionProcess, PassesALaunchFailureOn)
{
    SystemSensorCompanionProcess controller("/nonexistent/quorvantile-sensors");
    std::atomic<int> exits {0};
    const Outcome started = waitFor(controller.start(true, [&exits] { ++exits; }));
    EXPECT_EQ(started, Outcome(SetupError::system("posix_spawn", ENOENT)));
    EXPECT_EQ(exits, 0) << "nothing was launched";
    EXPECT_TRUE(waitFor(controller.stop()).ok());
}

TEST(SystemSensorCompanionProcess, DrivesTheSetupStateFromItsThreads)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", testing::kReadyThenWaitForEndOfInput);
    auto main = std::make_shared<testing::ManualExecutor>();
    auto state = SensorCompanionSetupState::create(std::make_shared<testing::MemoryDefaults>(),
        std::make_shared<SystemSensorCompanionProcess>(script), std::make_shared<testing::FakeLogin>(), main);

    ASSERT_TRUE(testing::runToEnd(*main, state->setEnabled(true)));
    EXPECT_TRUE(state->running());

    // The server dies on its own: the watcher's report reaches the state on the main executor.
    const pid_t child = std::stoi(contents(script + ".pid"));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_TRUE(main->runUntil([&] { return state->sensorFailed(); }, 10.0));
    EXPECT_FALSE(state->running());

    // A stop after the child has ended by itself has nothing left to end.
    ASSERT_TRUE(testing::runToEnd(*main, state->setEnabled(false)));
    EXPECT_FALSE(state->enabled() || state->sensorFailed());
}

} // namespace
} // namespace quorvantile::setup
