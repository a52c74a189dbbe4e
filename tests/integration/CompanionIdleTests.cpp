// The idle end of an on-demand server takes real 15-second waits: nothing else can show it.
#include "CompanionProcess.h"

#include "common/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace quorvantile {
namespace {

constexpr double kStartSeconds = 5.0;

TEST(CompanionServerIdle, OnDemandEndsFifteenSecondsAfterItsLastReply)
{
    const testing::CompanionEnvironment environment;
    auto server = environment.start("--diagnostics");
    ASSERT_TRUE(server->readLine(kStartSeconds).has_value());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    ASSERT_TRUE(std::holds_alternative<std::string>(environment.ask()));
    const double replied = systemClock().uptime();
    ASSERT_TRUE(server->readLine(kStartSeconds).has_value());

    EXPECT_EQ(server->readLine(30.0), "{\"exit\":\"idle\",\"requests\":1}");
    EXPECT_GE(systemClock().uptime() - replied, 14.9) << "a served reply restarts the idle period";
    EXPECT_EQ(server->waitForExit(kStartSeconds), 0);
}

} // namespace
} // namespace quorvantile
