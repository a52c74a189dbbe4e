// The small platform ports of common/, as this platform implements them.
#include "common/ExecutablePath.h"
#include "common/Pipe.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace quorvantile {
namespace {

TEST(Pipe, BothEndsAreCloseOnExecAndNonBlockingOnlyWhenAsked)
{
    const auto flags = [](const UniqueFd& end) {
        return std::pair((fcntl(end.get(), F_GETFD) & FD_CLOEXEC) != 0, (fcntl(end.get(), F_GETFL) & O_NONBLOCK) != 0);
    };
    for (const bool nonBlocking : {false, true}) {
        Pipe pipe;
        ASSERT_TRUE(makePipe(pipe, nonBlocking));
        EXPECT_EQ(flags(pipe.read), std::pair(true, nonBlocking));
        EXPECT_EQ(flags(pipe.write), std::pair(true, nonBlocking));
        ASSERT_EQ(write(pipe.write.get(), "x", 1), 1);
        char byte = 0;
        EXPECT_EQ(read(pipe.read.get(), &byte, 1), 1);
        EXPECT_EQ(byte, 'x');
    }
}

TEST(OwnExecutable, IsThisTestProgram)
{
    const auto executable = ownExecutable();
    ASSERT_TRUE(executable);
    EXPECT_TRUE(executable->is_absolute());
    EXPECT_EQ(executable->filename(), "common_tests");
}

} // namespace
} // namespace quorvantile
