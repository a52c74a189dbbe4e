// The stop sequence's waits and the ready line's time limit take real seconds: nothing else shows them.
#include "ChildScripts.h"
#include "SetupTestSupport.h"

#include "common/Clock.h"
#include "setup/SensorCompanionProcess.h"

#include <gtest/gtest.h>

#include <atomic>

namespace quorvantile::setup {
namespace {

using testing::waitFor;

// The lower bounds show that each step waits its time before the next; what a child saw shows that
// each signal was sent.
TEST(PidfdChildProcessWaits, ReadyLineLimitAndStopEscalation)
{
    // What the child does, what its start gives, the least seconds its start and its stop take, and
    // the signals it noted.
    const std::tuple<const char*, const char*, Outcome, double, double, const char*> cases[] = {
        {"never gets ready", "cat >/dev/null # keeps its standard output open", SensorCompanionProcessError::notReady,
            3.0, 0.0, ""},
        {"ignores end of input",
            R"(trap 'echo TERM >> "${0%.sh}.signals"; exit 0' TERM; printf '{"ready":true}\n'; while :; do sleep 0.05; done)",
            {}, 0.0, 2.0, "TERM\n"},
        {"ignores SIGTERM too",
            R"(trap 'echo TERM >> "${0%.sh}.signals"' TERM; printf '{"ready":true}\n'; while :; do sleep 0.05; done)",
            {}, 0.0, 3.0, "TERM\n"},
    };
    testing::ChildScripts scripts;
    for (const auto& [name, body, started, leastStartSeconds, leastStopSeconds, signals] : cases) {
        SCOPED_TRACE(name);
        const auto script = scripts.write(name, body);
        const auto controller = testing::controllerFor(script);
        std::atomic<int> exits {0};
        const double starting = systemClock().uptime();
        ASSERT_EQ(waitFor(controller->start(true, [&exits] { ++exits; })), started);
        const double stopping = systemClock().uptime();
        EXPECT_TRUE(waitFor(controller->stop()).ok());
        EXPECT_GE(stopping - starting, leastStartSeconds);
        EXPECT_GE(systemClock().uptime() - stopping, leastStopSeconds);
        EXPECT_EQ(exits, 1);
        EXPECT_EQ(testing::contents(script + ".signals"), signals);
        EXPECT_TRUE(waitFor(controller->stop()).ok());
    }
}

} // namespace
} // namespace quorvantile::setup
