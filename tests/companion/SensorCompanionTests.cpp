// The exit statuses of the real executable's command line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
    int status = -1;
    std::string output; // standard output and standard error together
};

Outcome run(const std::vector<std::string>& arguments)
{
    const std::string program = std::string(QUORVANTILE_BIN_DIR) + "/quorvantile-sensors";
    char outputPath[] = "/tmp/quorvantile-main-XXXXXX";
    const int outputFd = mkstemp(outputPath);
    EXPECT_GE(outputFd, 0);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);

    std::vector<char*> argv {const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    Outcome outcome;
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(outputFd);
    std::ifstream file(outputPath);
    outcome.output.assign(std::istreambuf_iterator<char>(file), {});
    unlink(outputPath);
    return outcome;
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
