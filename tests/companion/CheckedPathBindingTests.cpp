// The bind by path that proves where it landed (the macOS server's bind), run on real directories
// here: whatever happens to the path, a socket is left only in the directory that was checked, and
// only when the bind says so.
#include "companion/CheckedPathBinding.h"

#include "CompanionProcess.h"
#include "common/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

namespace quorvantile {
namespace {

constexpr const char* kName = "bound.sock";

UniqueFd directoryOf(const std::string& path) { return UniqueFd(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)); }

UniqueFd streamSocket() { return UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

// What `name` in `directory` is: 's' a socket, 'f' anything else, '-' nothing.
char entryIn(int directory, const char* name)
{
    struct stat status { };
    if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return '-';
    }
    return S_ISSOCK(status.st_mode) ? 's' : 'f';
}

// Each case opens the checked directory at `container`, then changes things before the bind.
TEST(CheckedPathBinding, BindsOnlyWhereThePathStillNamesTheCheckedDirectory)
{
    struct Case {
        const char* what;
        std::function<void(const std::string& container, const std::string& other)> before;
        const char* problem; // "" when the bind succeeds
        char inChecked; // what the checked directory holds afterwards
        char inOther; // what the other directory holds afterwards
    };
    const std::vector<Case> cases {
        {"nothing changed", [](const std::string&, const std::string&) {}, "", 's', '-'},
        {"the container was replaced",
            [](const std::string& container, const std::string& other) {
                ASSERT_EQ(rename(container.c_str(), (container + ".moved").c_str()), 0);
                ASSERT_EQ(rename(other.c_str(), container.c_str()), 0);
                ASSERT_EQ(rename((container + ".moved").c_str(), other.c_str()), 0);
            },
            "no longer names the directory that was checked", '-', '-'},
        {"the path became a link to the checked directory",
            [](const std::string& container, const std::string&) {
                const std::string moved = container + ".moved";
                ASSERT_EQ(rename(container.c_str(), moved.c_str()), 0);
                ASSERT_EQ(symlink(moved.c_str(), container.c_str()), 0);
            },
            "no longer names the directory that was checked", '-', '-'},
        {"the name is taken",
            [](const std::string& container, const std::string&) { std::ofstream(container + "/" + kName) << "kept"; },
            "Address already in use", 'f', '-'},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const testing::TemporaryDirectory scratch;
        const std::string container = scratch.path() + "/container";
        const std::string other = scratch.path() + "/other";
        ASSERT_EQ(mkdir(container.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
        const UniqueFd checked = directoryOf(container);
        const UniqueFd elsewhere = directoryOf(other);
        ASSERT_TRUE(checked && elsewhere);
        test.before(container, other);
        const UniqueFd socket = streamSocket();
        const auto problem = bindByPathInDirectory(socket.get(), checked.get(), container, kName);
        EXPECT_NE(problem.value_or("").find(test.problem), std::string::npos) << problem.value_or("bound");
        EXPECT_EQ(problem.has_value(), *test.problem != '\0') << problem.value_or("bound");
        EXPECT_EQ(entryIn(checked.get(), kName), test.inChecked);
        EXPECT_EQ(entryIn(elsewhere.get(), kName), test.inOther);
    }
}

TEST(CheckedPathBinding, RefusesAPathTooLongForASocketAddress)
{
    const testing::TemporaryDirectory scratch;
    const UniqueFd checked = directoryOf(scratch.path());
    const UniqueFd socket = streamSocket();
    const auto problem = bindByPathInDirectory(socket.get(), checked.get(), scratch.path(), std::string(120, 'n'));
    EXPECT_EQ(problem.value_or(""), "the socket path is longer than 103 bytes");
}

// The container and another directory trade places all the time while binds go on: a bind that
// reports success has its socket in the checked directory and nowhere else, and one that fails
// leaves none there. (One that fails may leave its socket in the other directory when the path
// turned again before its removal: a path can be made to lead anywhere, and no one listens on it.)
TEST(CheckedPathBinding, AContainerExchangedDuringTheBindIsNeverTakenForIt)
{
    constexpr int kBinds = 400;
    const testing::TemporaryDirectory parent;
    const std::string container = parent.path() + "/container";
    const std::string other = parent.path() + "/other";
    ASSERT_EQ(mkdir(container.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    const UniqueFd ours = directoryOf(container);
    const UniqueFd theirs = directoryOf(other);
    std::atomic<bool> stop {false};
    std::thread exchanger([&] {
        while (!stop) {
            renameat2(AT_FDCWD, container.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
        }
    });
    int bound = 0;
    int refused = 0;
    int strays = 0;
    int misplaced = 0;
    for (int attempt = 0; attempt < kBinds; ++attempt) {
        const UniqueFd socket = streamSocket();
        const bool ok = !bindByPathInDirectory(socket.get(), ours.get(), container, kName);
        (ok ? bound : refused) += 1;
        const char inOurs = entryIn(ours.get(), kName);
        const char inTheirs = entryIn(theirs.get(), kName);
        misplaced += (inOurs != (ok ? 's' : '-') || (ok && inTheirs != '-')) ? 1 : 0;
        strays += !ok && inTheirs != '-' ? 1 : 0;
        unlinkat(ours.get(), kName, 0);
        unlinkat(theirs.get(), kName, 0);
    }
    stop = true;
    exchanger.join();
    EXPECT_EQ(misplaced, 0) << "of " << bound << " bound and " << refused << " refused (" << strays
                            << " left a socket in the other directory)";
}

} // namespace
} // namespace quorvantile
