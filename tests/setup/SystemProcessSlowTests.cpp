// The stop sequence's waits and the ready line's time limit take real seconds: nothing else shows them.
#include "ChildScripts.h"
#include "SetupTestSupport.h"

#include "common/Clock.h"
#include "setup/linux/SystemSensorCompanionProcess.h"

#include <gtest/gtest.h>

namespace quorvantile::setup {
namespace {

using testing::ChildScripts;
using testing::ExitCounter;
using testing::waitFor;

TEST(SystemSensorCompanionProcessWaits, AChildThatNeverGetsReadyFailsAfterThreeSeconds)
{
    ChildScripts scripts;
    SystemSensorCompanionProcess controller(scripts.write("child", "cat >/dev/null # keeps its standard output open"));
    ExitCounter exits;
    const double started = systemClock().uptime();
    EXPECT_EQ(waitFor(controller.start(true, exits.callback())), Outcome(SensorCompanionProcessError::notReady));
    EXPECT_GE(systemClock().uptime() - started, 3.0);
    EXPECT_EQ(exits.count, 1);
}

// The lower bounds show that each step of the sequence waits its time before the next.
TEST(SystemSensorCompanionProcessWaits, StopEscalatesForChildrenThatDoNotObey)
{
    struct Case {
        const char* name;
        const char* body;
        double leastSeconds;
    };
    const std::vector<Case> cases = {
        {"ignores end of input", R"(printf '{"ready":true}\n'; exec sleep 30)", 2.0},
        {"ignores SIGTERM too", R"(trap '' TERM; printf '{"ready":true}\n'; while :; do sleep 1; done)", 3.0},
    };
    ChildScripts scripts;
    for (const auto& testCase : cases) {
        SystemSensorCompanionProcess controller(scripts.write("child", testCase.body));
        ExitCounter exits;
        ASSERT_TRUE(waitFor(controller.start(true, exits.callback())).ok()) << testCase.name;
        const double stopping = systemClock().uptime();
        EXPECT_TRUE(waitFor(controller.stop()).ok()) << testCase.name;
        EXPECT_GE(systemClock().uptime() - stopping, testCase.leastSeconds) << testCase.name;
        EXPECT_EQ(exits.count, 1) << testCase.name;
        EXPECT_TRUE(waitFor(controller.stop()).ok()) << testCase.name;
    }
}

} // namespace
} // namespace quorvantile::setup
