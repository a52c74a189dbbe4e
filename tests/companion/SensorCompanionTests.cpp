// The exit statuses of the real executable's command line.
#include "CompanionProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    std::string output; // standard output and standard error together
};

Outcome run(const std::vector<std::string>& arguments)
{
    std::vector<std::string> command {quorvantile::testing::binary("quorvantile-sensors")};
    command.insert(command.end(), arguments.begin(), arguments.end());
    quorvantile::testing::ChildProcess child(command, {.errorsToPipe = true});
    child.closeInput();
    std::string output = child.readRest(10.0) + child.readErrors(10.0);
    return {child.waitForExit(10.0).value_or(-1), std::move(output)};
}

TEST(SensorCompanionCommandLine, AnythingButTheSevenFormsEndsWithStatusTwoSilently)
{
    const std::vector<std::vector<std::string>> refused {
        {"--on-demand", "--managed-server"},
        {"--managed-server", "x"},
        {"--MANAGED-SERVER"},
        {""},
        {"--diagnostics="},
        {"-h"},
        {"--help"},
        {"--on-demand-server", "--on-demand-server"},
    };
    for (const auto& arguments : refused) {
        const Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 2) << arguments.front();
        EXPECT_EQ(outcome.output, "") << arguments.front();
    }
}

TEST(SensorCompanionCommandLine, SetupFormsNeedTheSettingsModule)
{
#ifdef QUORVANTILE_HAS_SETUP_WINDOW
    GTEST_SKIP() << "this build has a settings module; the install test covers a missing one";
#endif
    // Without a settings module both setup forms end with status 1 and one line.
    for (const std::vector<std::string>& arguments :
        {std::vector<std::string> {}, std::vector<std::string> {"--on-demand"}}) {
        const Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 1);
        ASSERT_FALSE(outcome.output.empty());
        EXPECT_EQ(outcome.output.find('\n'), outcome.output.size() - 1) << outcome.output;
    }
}

} // namespace
