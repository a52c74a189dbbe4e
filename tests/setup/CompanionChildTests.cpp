// The real companion as the child: its managed-server mode is the other half of the contract.
#include "ChildScripts.h"
#include "SetupTestSupport.h"

#include "setup/linux/SystemSensorCompanionProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quorvantile::setup {
namespace {

using testing::ExitCounter;
using testing::waitFor;

TEST(SensorCompanionChild, GetsReadyAndEndsAtTheEndOfItsInput)
{
    testing::TemporaryFolder runtime;
    // The child inherits the environment; no other thread runs yet.
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    ::setenv("QUORVANTILE_SYSFS_ROOT", QUORVANTILE_FIXTURES_DIR "/sensors/intel-mac/sys", 1);
    const auto socket = runtime.path() / "7Q4KX2M8PZ.com.zembo.quorvantile" / "sensors-v1.sock";

    SystemSensorCompanionProcess controller(QUORVANTILE_BIN_DIR "/quorvantile-sensors");
    ExitCounter exits;
    ASSERT_TRUE(waitFor(controller.start(true, exits.callback())).ok());
    EXPECT_TRUE(std::filesystem::exists(socket)) << "ready means listening";
    EXPECT_EQ(exits.count, 0);

    EXPECT_TRUE(waitFor(controller.stop()).ok());
    EXPECT_EQ(exits.count, 1);
    // Only an orderly end removes the socket: the end of input stopped it, not a signal.
    EXPECT_FALSE(std::filesystem::exists(socket));
}

} // namespace
} // namespace quorvantile::setup
