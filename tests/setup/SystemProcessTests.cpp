// The server child controller against real children: shell scripts that play a server's part, and
// the setup state driving it with its exit reports arriving from the watcher threads.
#include "ChildScripts.h"
#include "SetupTestSupport.h"

#include "setup/ReadyLine.h"
#include "setup/SensorCompanionSetupState.h"
#include "setup/linux/SystemSensorCompanionProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace quorvantile::setup {
namespace {

using testing::ChildScripts;
using testing::contents;
using testing::ExitCounter;
using testing::waitFor;

enum class Verdict { ready, notReady, parseError };

Verdict verdictOf(const Outcome& outcome)
{
    if (outcome.ok()) {
        return Verdict::ready;
    }
    if (std::holds_alternative<ParseError>(outcome.error().reason())) {
        return Verdict::parseError;
    }
    EXPECT_EQ(outcome.error(), SetupError(SensorCompanionProcessError::notReady))
        << outcome.error().localizedDescription();
    return Verdict::notReady;
}

TEST(ReadyLineParser, JudgesTheFirstNonEmptyLine)
{
    const std::vector<std::pair<std::string, Verdict>> cases = {
        {"{\"ready\":true}\n", Verdict::ready},
        {"\n\n{\"ready\":true,\"endpoint\":\"/run/x\",\"uid\":1000}\nmore", Verdict::ready},
        {"{\"ready\":true}", Verdict::ready}, // the whole buffer when it holds no line feed
        {"{\"ready\":true}\n{not json", Verdict::ready},
        {"", Verdict::notReady},
        {"\n\n", Verdict::notReady},
        {"{\"ready\":false}\n", Verdict::notReady},
        {"{\"ready\":1}\n", Verdict::notReady},
        {"{\"ready\":\"true\"}\n", Verdict::notReady},
        {"{\"endpoint\":\"x\"}\n", Verdict::notReady},
        {"[{\"ready\":true}]\n", Verdict::notReady},
        {"true\n", Verdict::notReady},
        {"ready\n", Verdict::parseError},
        {"{\"ready\":true\n}\n", Verdict::parseError},
        {"55975650760e968\n", Verdict::parseError}, // a number no double holds
        {"{\"ready\":true,\"uid\":1e999}\n", Verdict::parseError},
    };
    for (const auto& [buffer, expected] : cases) {
        EXPECT_EQ(verdictOf(parseReadyLine(buffer)), expected) << buffer;
    }
}

TEST(SystemSensorCompanionProcess, JudgesWhatTheChildWritesFirst)
{
    struct Case {
        const char* name;
        std::string body;
        Verdict expected;
    };
    const std::vector<Case> cases = {
        {"in two pieces", R"(printf '{"rea'; sleep 0.2; printf 'dy": true}\n'; exec cat >/dev/null)", Verdict::ready},
        {"not JSON", R"(printf 'ready\n'; exec cat >/dev/null)", Verdict::parseError},
        // Reading stops past 4095 bytes; the cut-off object is then refused by the parser.
        {"5000 bytes without a line feed",
            R"(printf '{"ready":true,"padding":"'; head -c 5000 /dev/zero | tr '\000' x; exec cat >/dev/null)",
            Verdict::parseError},
        {"exits before writing", "exit 3", Verdict::notReady},
    };
    ChildScripts scripts;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto script = scripts.write("child", testCase.body);
        SystemSensorCompanionProcess controller(script);
        ExitCounter exits;
        const Outcome started = waitFor(controller.start(true, exits.callback()));
        EXPECT_EQ(verdictOf(started), testCase.expected);
        EXPECT_EQ(contents(script + ".arguments"), "1\n--managed-server\n");
        if (started.ok()) {
            EXPECT_EQ(exits.count, 0);
            EXPECT_TRUE(waitFor(controller.stop()).ok());
        }
        EXPECT_EQ(exits.count, 1) << "every launched child is reported once, also after a failure";
        EXPECT_TRUE(waitFor(controller.stop()).ok()) << "a second stop has nothing to do";
    }
}

TEST(SystemSensorCompanionProcess, KeepsOneChildAtATime)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", testing::kReadyThenWaitForEndOfInput);
    SystemSensorCompanionProcess controller(script);
    ExitCounter exits;
    ASSERT_TRUE(waitFor(controller.start(false, exits.callback())).ok());
    EXPECT_EQ(contents(script + ".arguments"), "1\n--on-demand-server\n");
    EXPECT_EQ(waitFor(controller.start(true, exits.callback())), Outcome(SensorCompanionProcessError::unavailable));
    EXPECT_EQ(exits.count, 0);
    EXPECT_TRUE(waitFor(controller.stop()).ok());
    EXPECT_EQ(exits.count, 1);
    EXPECT_TRUE(waitFor(controller.start(true, exits.callback())).ok()) << "a stop makes room again";
    EXPECT_TRUE(waitFor(controller.stop()).ok());
}

TEST(SystemSensorCompanionProcess, PassesALaunchFailureOn)
{
    SystemSensorCompanionProcess controller("/nonexistent/quorvantile-sensors");
    ExitCounter exits;
    const Outcome started = waitFor(controller.start(true, exits.callback()));
    EXPECT_EQ(started, Outcome(SetupError::system("posix_spawn", ENOENT)));
    EXPECT_EQ(started.error().localizedDescription(), "No such file or directory");
    EXPECT_EQ(exits.count, 0) << "nothing was launched";
    EXPECT_TRUE(waitFor(controller.stop()).ok());
}

// The whole machine: the state on a manual main executor, a real controller thread and watcher.
TEST(SystemSensorCompanionProcess, DrivesTheSetupStateFromItsThreads)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", testing::kReadyThenWaitForEndOfInput);
    auto main = std::make_shared<testing::ManualExecutor>();
    auto defaults = std::make_shared<testing::MemoryDefaults>();
    auto state = SensorCompanionSetupState::create(
        defaults, std::make_shared<SystemSensorCompanionProcess>(script), std::make_shared<testing::FakeLogin>(), main);

    ASSERT_TRUE(testing::runToEnd(*main, state->setEnabled(true)));
    EXPECT_TRUE(state->running());
    EXPECT_EQ(contents(script + ".arguments"), "1\n--managed-server\n");

    // The server dies on its own: the watcher's report reaches the state on the main executor.
    const pid_t child = std::stoi(contents(script + ".pid"));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_TRUE(main->runUntil([&] { return state->sensorFailed(); }, 10.0));
    EXPECT_FALSE(state->running());
    EXPECT_TRUE(state->enabled());

    ASSERT_TRUE(testing::runToEnd(*main, state->setEnabled(false)));
    EXPECT_FALSE(state->enabled() || state->sensorFailed());
    EXPECT_EQ(defaults->values.at(std::string(kSensorsEnabledKey)), json::Json(false));
}

} // namespace
} // namespace quorvantile::setup
