// The server child controller against real children: shell scripts that play a server's part, and
// the setup state driving it with its exit reports arriving from the watcher threads.
#include "ChildScripts.h"
#include "SetupTestSupport.h"

#include "setup/ReadyLine.h"
#include "setup/SensorCompanionProcess.h"
#include "setup/SensorCompanionSetupState.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace quorvantile::setup {
namespace {

using namespace testing;

// The verdicts on what a child writes first; a parse error's message is the parser's own.
const Outcome kReady;
const Outcome kNotReady = SensorCompanionProcessError::notReady;
const std::optional<Outcome> kParseError;

void expectVerdict(const Outcome& outcome, const std::optional<Outcome>& expected)
{
    if (expected) {
        EXPECT_EQ(outcome, *expected) << (outcome.ok() ? "" : outcome.error().localizedDescription());
    } else {
        EXPECT_TRUE(!outcome.ok() && std::holds_alternative<ParseError>(outcome.error().reason()));
    }
}

TEST(ReadyLineParser, JudgesTheFirstNonEmptyLine)
{
    const std::vector<std::pair<std::string, std::optional<Outcome>>> cases = {
        {"{\"ready\":true}\n", kReady},
        {"\n\n{\"ready\":true,\"endpoint\":\"/run/x\",\"uid\":1000}\nmore", kReady},
        {"{\"ready\":true}", kReady}, // the whole buffer when it holds no line feed
        {"{\"ready\":true}\n{not json", kReady},
        {"", kNotReady},
        {"\n\n", kNotReady},
        {"{\"ready\":false}\n", kNotReady},
        {"{\"ready\":1}\n", kNotReady},
        {"{\"ready\":\"true\"}\n", kNotReady},
        {"{\"endpoint\":\"x\"}\n", kNotReady},
        {"[{\"ready\":true}]\n", kNotReady},
        {"true\n", kNotReady},
        {"ready\n", kParseError},
        {"{\"ready\":true\n}\n", kParseError},
        {"55975650760e968\n", kParseError}, // a number no double holds
        {"{\"ready\":true,\"uid\":1e999}\n", kParseError},
    };
    for (const auto& [buffer, expected] : cases) {
        SCOPED_TRACE(buffer);
        expectVerdict(parseReadyLine(buffer), expected);
    }
}

TEST(PidfdChildProcess, JudgesWhatTheChildWritesFirst)
{
    const std::tuple<const char*, std::string, std::optional<Outcome>> cases[] = {
        {"in two pieces", R"(printf '{"rea'; sleep 0.2; printf 'dy": true}\n'; exec cat >/dev/null)", kReady},
        // Reading stops past 4095 bytes; the cut-off object is then refused by the parser.
        {"5000 bytes without a line feed",
            R"(printf '{"ready":true,"padding":"'; head -c 5000 /dev/zero | tr '\000' x; exec cat >/dev/null)",
            kParseError},
        {"exits before writing", "exit 3", kNotReady},
    };
    ChildScripts scripts;
    for (const auto& [name, body, expected] : cases) {
        SCOPED_TRACE(name);
        const auto script = scripts.write("child", body);
        const auto controller = controllerFor(script);
        std::atomic<int> exits {0};
        const Outcome started = waitFor(controller->start(true, [&exits] { ++exits; }));
        expectVerdict(started, expected);
        EXPECT_EQ(contents(script + ".arguments"), "1\n--managed-server\n");
        if (started.ok()) {
            EXPECT_EQ(exits, 0);
            EXPECT_TRUE(waitFor(controller->stop()).ok());
        }
        EXPECT_EQ(exits, 1) << "every launched child is reported once, also after a failure";
        EXPECT_TRUE(waitFor(controller->stop()).ok()) << "a second stop has nothing to do";
    }
}

TEST(PidfdChildProcess, KeepsOneChildAtATime)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", testing::kReadyThenWaitForEndOfInput);
    const auto controller = controllerFor(script);
    std::atomic<int> exits {0};
    ASSERT_TRUE(waitFor(controller->start(false, [&exits] { ++exits; })).ok());
    EXPECT_EQ(contents(script + ".arguments"), "1\n--on-demand-server\n");
    EXPECT_EQ(
        waitFor(controller->start(true, [&exits] { ++exits; })), Outcome(SensorCompanionProcessError::unavailable));
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(waitFor(controller->stop()).ok());
    EXPECT_EQ(exits, 1);
    EXPECT_TRUE(waitFor(controller->start(true, [&exits] { ++exits; })).ok()) << "a stop makes room again";
    EXPECT_TRUE(waitFor(controller->stop()).ok());
}

TEST(PidfdChildProcess, PassesALaunchFailureOn)
{
    ChildScripts scripts;
    const auto notRunnable = scripts / "not-runnable";
    std::ofstream(notRunnable) << "#!/bin/sh\n";
    ::chmod(notRunnable.c_str(), 0644);
    // What the child could not do, and the error the start gives.
    const std::tuple<const char*, std::shared_ptr<SensorCompanionProcess>, Outcome> cases[] = {
        {"no execute permission", controllerFor(notRunnable), SetupError::system("execveat", EACCES)},
        {"the program could not be opened",
            std::make_shared<SensorCompanionProcess>(
                "quorvantile-sensors", pidfdChildLauncher(UniqueFd(), currentEnvironment())),
            SetupError::system("dup2", EBADF)},
    };
    for (const auto& [name, controller, expected] : cases) {
        SCOPED_TRACE(name);
        std::atomic<int> exits {0};
        EXPECT_EQ(waitFor(controller->start(true, [&exits] { ++exits; })), expected);
        EXPECT_EQ(exits, 0) << "nothing was launched";
        EXPECT_TRUE(waitFor(controller->stop()).ok());
    }
    EXPECT_TRUE(childrenOf(::getpid()).empty()) << "the failed children were reaped";
}

// Holds every descriptor below a lowered limit while it lives, as a process that has run out of them.
class NoFreeDescriptors {
public:
    NoFreeDescriptors()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = STDERR_FILENO;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        }
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(highest) + 1;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (UniqueFd held(::open("/dev/null", O_RDONLY | O_CLOEXEC)); held;
             held = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC))) {
            held_.push_back(std::move(held));
        }
    }
    ~NoFreeDescriptors()
    {
        held_.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    NoFreeDescriptors(const NoFreeDescriptors&) = delete;
    NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

private:
    rlimit saved_ {};
    std::vector<UniqueFd> held_;
};

TEST(PidfdChildProcess, AStartWithoutFreeDescriptorsNamesTheRefusedCall)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' runtime needs free descriptors of its own to check a type";
#endif
    ChildScripts scripts;
    const auto controller = controllerFor(scripts.write("child", testing::kReadyThenWaitForEndOfInput));
    std::atomic<int> exits {0};
    {
        const NoFreeDescriptors exhausted;
        EXPECT_EQ(
            waitFor(controller->start(true, [&exits] { ++exits; })), Outcome(SetupError::system("pipe2", EMFILE)));
    }
    EXPECT_EQ(exits, 0) << "nothing was launched";
    EXPECT_TRUE(waitFor(controller->start(true, {})).ok()) << "nor recorded";
    EXPECT_TRUE(waitFor(controller->stop()).ok());
}

// The bits of a signal set in /proc/<pid>/status ("SigBlk", "SigIgn").
std::uint64_t signalSet(const std::string& status, const std::string& name)
{
    const auto found = status.find("\n" + name + ":\t");
    return found == std::string::npos ? ~0ULL : std::stoull(status.substr(found + name.size() + 3, 16), nullptr, 16);
}

// The child starts clean whatever the application holds: Qt and its plugins open descriptors without
// close-on-exec, and a thread may block or ignore signals.
TEST(PidfdChildProcess, TheChildGetsNoDescriptorsOrSignalSettingsOfOurs)
{
    ChildScripts scripts;
    const auto marker = scripts / "held-by-the-application";
    std::ofstream(marker) << "";
    const UniqueFd low(::open(marker.c_str(), O_RDONLY));
    const UniqueFd high(::fcntl(low.get(), F_DUPFD, 200));
    ASSERT_TRUE(low && high);
    // The controller's thread takes this thread's mask; the ignored signal is the process's.
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    const auto ignored = ::signal(SIGUSR2, SIG_IGN);
    const auto script = scripts.write("child", testing::kReadyThenWaitForEndOfInput);
    const auto controller = controllerFor(script);
    ASSERT_TRUE(waitFor(controller->start(true, {})).ok());
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::signal(SIGUSR2, ignored);

    const std::string pid = contents(script + ".pid");
    const std::string folder = "/proc/" + pid.substr(0, pid.find('\n'));
    std::vector<std::string> targets;
    for (const auto& entry : std::filesystem::directory_iterator(folder + "/fd")) {
        std::error_code closedMeanwhile; // the shell's own descriptors go at its exec
        targets.push_back(std::filesystem::read_symlink(entry.path(), closedMeanwhile).string());
    }
    EXPECT_EQ(std::count(targets.begin(), targets.end(), marker.string()), 0);
    EXPECT_EQ(std::filesystem::read_symlink(folder + "/fd/2"), std::filesystem::read_symlink("/proc/self/fd/2"))
        << "standard error is shared";
    const std::string status = contents(folder + "/status");
    EXPECT_EQ(signalSet(status, "SigBlk") & (1ULL << (SIGUSR1 - 1)), 0U);
    EXPECT_EQ(signalSet(status, "SigIgn") & (1ULL << (SIGUSR2 - 1)), 0U);
    EXPECT_TRUE(waitFor(controller->stop()).ok());
}

// An upgrade replaces the file at the executable's path while the application runs: a start still
// runs the program the application opened, never what the path names by now.
TEST(PidfdChildProcess, StartsTheFileItOpenedAfterThePathWasReplaced)
{
    const quorvantile::testing::CompanionEnvironment environment;
    ChildScripts folder;
    const auto program = folder / "quorvantile-sensors";
    std::filesystem::copy_file(quorvantile::testing::binary("quorvantile-sensors"), program);
    const auto controller = controllerFor(program, environment.variables);
    struct stat opened { };
    ASSERT_EQ(::stat(program.c_str(), &opened), 0);

    const auto replacement = folder / "replacement";
    const auto trace = folder / "the-replacement-ran";
    std::ofstream(replacement) << "#!/bin/sh\ntouch '" << trace.string()
                               << "'\nprintf '{\"ready\":true}\\n'\nexec cat >/dev/null\n";
    ::chmod(replacement.c_str(), 0755);
    ASSERT_EQ(::rename(replacement.c_str(), program.c_str()), 0);

    const auto before = childrenOf(::getpid());
    ASSERT_TRUE(waitFor(controller->start(true, {})).ok());
    auto children = childrenOf(::getpid());
    std::erase_if(children, [&](pid_t pid) { return std::find(before.begin(), before.end(), pid) != before.end(); });
    ASSERT_EQ(children.size(), 1U);
    struct stat running { };
    ASSERT_EQ(::stat(("/proc/" + std::to_string(children.front()) + "/exe").c_str(), &running), 0);
    EXPECT_EQ(running.st_ino, opened.st_ino);
    EXPECT_EQ(running.st_dev, opened.st_dev);
    EXPECT_FALSE(std::filesystem::exists(trace));
    EXPECT_TRUE(std::filesystem::exists(environment.socketPath())) << "the real server is listening";
    EXPECT_TRUE(waitFor(controller->stop()).ok());
}

TEST(PidfdChildProcess, DrivesTheSetupStateFromItsThreads)
{
    ChildScripts scripts;
    const auto script = scripts.write("child", testing::kReadyThenWaitForEndOfInput);
    auto main = std::make_shared<testing::ManualExecutor>();
    auto state = SensorCompanionSetupState::create(std::make_shared<testing::MemoryDefaults>(), controllerFor(script),
        std::make_shared<testing::FakeLogin>(), main, main);

    ASSERT_TRUE(testing::runToEnd(*main, state->setEnabled(true)));
    EXPECT_TRUE(state->running());

    // The server dies on its own: the watcher's report reaches the state on the main executor.
    const pid_t child = std::stoi(contents(script + ".pid"));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_TRUE(main->runUntil([&] { return state->sensorFailed(); }, 10.0));
    EXPECT_FALSE(state->running());

    // A stop after the child has ended by itself has nothing left to end.
    ASSERT_TRUE(testing::runToEnd(*main, state->setEnabled(false)));
    EXPECT_FALSE(state->enabled() || state->sensorFailed());
    main->runPending(); // the choice's write, which holds the state, is still queued
}

// A quit while a start stops the old child, with the real server as that child: the quit's stop
// queues behind the start's on the controller's thread and finds nothing to end, so the start must
// see the quit before it launches, or a server outlives the application.
TEST(PidfdChildProcess, AQuitDuringAStartLeavesNoServerBehind)
{
    const quorvantile::testing::CompanionEnvironment environment;
    auto main = std::make_shared<testing::ManualExecutor>();
    const auto before = childrenOf(::getpid());
    auto state = SensorCompanionSetupState::create(std::make_shared<testing::MemoryDefaults>(),
        controllerFor(quorvantile::testing::binary("quorvantile-sensors"), environment.variables),
        std::make_shared<testing::FakeLogin>(), main, main);

    std::optional<Outcome> shutdown;
    startDetached(state->setEnabled(true));
    startDetached([](std::shared_ptr<SensorCompanionSetupState> setup, std::optional<Outcome>& out) -> Task<void> {
        out = co_await setup->shutdown();
    }(state, shutdown));
    // Also until the start is over: a start that launched has read the server's ready line by then.
    ASSERT_TRUE(main->runUntil([&] { return shutdown.has_value() && !state->busy(); }, 10.0));
    EXPECT_EQ(shutdown, Outcome());
    EXPECT_FALSE(state->running() || state->enabled());
    EXPECT_EQ(childrenOf(::getpid()), before);
    EXPECT_FALSE(std::filesystem::exists(environment.socketPath()));
}

} // namespace
} // namespace quorvantile::setup
