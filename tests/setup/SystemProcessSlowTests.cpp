// The stop sequence's waits and the ready line's time limit take real seconds: nothing else shows them.
#include "ChildScripts.h"
#include "SetupTestSupport.h"

#include "common/Clock.h"
#include "setup/linux/SystemSensorCompanionProcess.h"

#include <gtest/gtest.h>

#include <atomic>

namespace quorvantile::setup {
namespace {

using testing::waitFor;

// The lower bounds show that each step waits its time before the next.
TEST(SystemSensorCompanionProcessWaits, ReadyLineLimitAndStopEscalation)
{
    // What the child does, what its start gives, and the least seconds its start and its stop take.
    const std::tuple<const char*, const char*, Outcome, double, double> cases[] = {
        {"never gets ready", "cat >/dev/null # keeps its standard output open", SensorCompanionProcessError::notReady,
            3.0, 0.0},
        {"ignores end of input", R"(printf '{"ready":true}\n'; exec sleep 30)", {}, 0.0, 2.0},
        {"ignores SIGTERM too", R"(trap '' TERM; printf '{"ready":true}\n'; while :; do sleep 1; done)", {}, 0.0, 3.0},
    };
    testing::ChildScripts scripts;
    for (const auto& [name, body, started, leastStartSeconds, leastStopSeconds] : cases) {
        SCOPED_TRACE(name);
        const auto controller = testing::controllerFor(scripts.write("child", body));
        std::atomic<int> exits {0};
        const double starting = systemClock().uptime();
        ASSERT_EQ(waitFor(controller->start(true, [&exits] { ++exits; })), started);
        const double stopping = systemClock().uptime();
        EXPECT_TRUE(waitFor(controller->stop()).ok());
        EXPECT_GE(stopping - starting, leastStartSeconds);
        EXPECT_GE(systemClock().uptime() - stopping, leastStopSeconds);
        EXPECT_EQ(exits, 1);
        EXPECT_TRUE(waitFor(controller->stop()).ok());
    }
}

} // namespace
} // namespace quorvantile::setup
