// The folders the server trusts: the container and the runtime directory must be the user's alone.
#include "CompanionProcess.h"
#include "companion/GroupContainer.h"
#include "companion/PrivateDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace quorvantile {
namespace {

TEST(PrivateDirectoryCheck, OnlyADirectoryOfTheUserWithoutGroupOrOtherAccess)
{
    const testing::TemporaryDirectory scratch;
    const std::string path = scratch.path() + "/d";
    const auto directory = [&](mode_t mode) {
        return [&path, mode] {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
            ASSERT_EQ(chmod(path.c_str(), mode), 0);
        };
    };
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* problem; // a part of the reason, or nullptr when the folder is private
    };
    std::vector<Case> cases {
        {"mode 0700", directory(0700), nullptr},
        {"mode 0750", directory(0750), "has mode 0750"},
        {"mode 0701", directory(0701), "has mode 0701"},
        {"mode 1777", directory(01777), "has mode 1777"},
        {"a file", [&] { std::ofstream(path) << ""; }, "is not a directory"},
        {"a link to a private folder", [&] { ASSERT_EQ(symlink(scratch.path().c_str(), path.c_str()), 0); },
            "is not a directory"},
        {"missing", [] {}, "No such file or directory"},
    };
    if (geteuid() == 0) {
        cases.push_back({"another user's",
            [&] {
                directory(0700)();
                ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
            },
            "belongs to uid 65534"});
    }
    for (const auto& row : cases) {
        std::filesystem::remove_all(path);
        row.make();
        const auto problem = privateDirectoryProblem(path);
        if (row.problem == nullptr) {
            EXPECT_FALSE(problem) << row.what << ": " << problem.value_or("");
            continue;
        }
        ASSERT_TRUE(problem) << row.what;
        EXPECT_NE(problem->find(row.problem), std::string::npos) << row.what << ": " << *problem;
        EXPECT_EQ(problem->find('\n'), std::string::npos) << "one line";
    }
}

TEST(GroupContainerLookup, ARuntimeDirectoryOthersCanReachIsPassedOver)
{
    const testing::TemporaryDirectory runtime, state;
    Environment environment;
    environment.runtimeDirectory = runtime.path();
    environment.stateHome = state.path();
    EXPECT_EQ(groupContainer(environment), runtime.path() + "/7Q4KX2M8PZ.com.zembo.quorvantile");
    ASSERT_EQ(chmod(runtime.path().c_str(), 0755), 0);
    const auto fallback = groupContainer(environment);
    ASSERT_TRUE(fallback);
    EXPECT_NE(fallback->rfind(runtime.path(), 0), 0U) << *fallback;
    if (!isPrivateDirectory("/run/user/" + std::to_string(geteuid()))) {
        EXPECT_EQ(*fallback, state.path() + "/7Q4KX2M8PZ.com.zembo.quorvantile");
    }
}

} // namespace
} // namespace quorvantile
