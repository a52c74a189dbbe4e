// The query tool as a person runs it: in a terminal (a pseudo-terminal here), into a pipe, and when
// there is nothing to talk to.
#include "CompanionProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace quorvantile;
using quorvantile::testing::binary;
using quorvantile::testing::CompanionEnvironment;

constexpr double kPatienceSeconds = 10.0;
constexpr double kStartSeconds = 5.0;

struct Finished {
    std::string output;
    std::string errors;
    int status = -1; // the exit status, or -1 when a signal ended the program
    int signal = 0;
};

// argv and envp for one run, built before any fork.
struct CommandLine {
    std::vector<std::string> arguments;
    std::vector<std::string> variables;
    std::vector<char*> argv;
    std::vector<char*> envp;

    CommandLine(const std::string& program, const std::vector<std::string>& extra,
        const std::map<std::string, std::string>& environment)
    {
        arguments.push_back(program);
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (environment.count(text.substr(0, text.find('='))) == 0) {
                variables.push_back(text);
            }
        }
        for (const auto& [name, value] : environment) {
            variables.push_back(name + "=" + value);
        }
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        for (auto& variable : variables) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
    }
};

void setStatus(Finished& finished, int status)
{
    if (WIFEXITED(status)) {
        finished.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        finished.signal = WTERMSIG(status);
    }
}

// Reads `fd` until end of file (or EIO, a pseudo-terminal's end) or until `stop` says enough.
template<typename Stop> void readUntil(int fd, std::string& into, double seconds, Stop stop)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stop(into)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        pollfd entry {fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return;
        }
        into.append(chunk, static_cast<std::size_t>(got));
    }
}

// The tool with standard output and standard error on pipes.
Finished runPiped(const std::string& program, const std::vector<std::string>& arguments,
    const std::map<std::string, std::string>& environment)
{
    CommandLine command(program, arguments, environment);
    int output[2];
    int errors[2];
    EXPECT_EQ(pipe2(output, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(errors, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, command.argv.data(), command.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    close(errors[1]);
    Finished finished;
    if (error == 0) {
        // Both are small: the standard output first, then what is left on standard error.
        readUntil(output[0], finished.output, kPatienceSeconds, [](const std::string&) { return false; });
        readUntil(errors[0], finished.errors, kPatienceSeconds, [](const std::string&) { return false; });
        int status = 0;
        waitpid(pid, &status, 0);
        setStatus(finished, status);
    }
    close(output[0]);
    close(errors[0]);
    return finished;
}

// The tool on a 24 × 80 pseudo-terminal of its own, as in a terminal window.
class TerminalRun {
public:
    TerminalRun(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment)
        : command_(binary("quorvantile-sensors-query"), arguments, environment)
    {
        winsize size {};
        size.ws_row = 24;
        size.ws_col = 80;
        pid_ = forkpty(&terminal_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            execve(command_.argv[0], command_.argv.data(), command_.envp.data());
            _exit(127);
        }
    }
    ~TerminalRun()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (terminal_ >= 0) {
            close(terminal_);
        }
    }
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;

    [[nodiscard]] bool started() const { return pid_ > 0; }
    // Waits until the screen shows `text`.
    bool waitFor(const std::string& text)
    {
        readUntil(terminal_, screen_, kPatienceSeconds,
            [&](const std::string& seen) { return seen.find(text) != std::string::npos; });
        return screen_.find(text) != std::string::npos;
    }
    void type(std::string_view keys) { EXPECT_EQ(write(terminal_, keys.data(), keys.size()), ssize_t(keys.size())); }
    Finished finish()
    {
        readUntil(terminal_, screen_, kPatienceSeconds, [](const std::string&) { return false; });
        Finished finished;
        int status = 0;
        if (waitpid(pid_, &status, 0) == pid_) {
            reaped_ = true;
            setStatus(finished, status);
        }
        finished.output = screen_;
        return finished;
    }

private:
    CommandLine command_;
    int terminal_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string screen_;
};

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

class QueryTool : public ::testing::Test {
protected:
    void startCompanion()
    {
        companion_ = environment_.start("--manual-diagnostics");
        ASSERT_TRUE(companion_->readLine(kStartSeconds).has_value());
    }
    CompanionEnvironment environment_;
    std::unique_ptr<quorvantile::testing::ChildProcess> companion_;
};

constexpr const char* kHideCursor = "\x1b[?25l";
constexpr const char* kShowCursor = "\x1b[?25h";
constexpr const char* kHome = "\x1b[H";

TEST_F(QueryTool, WatchRedrawsInPlaceOnATerminalAndStopsAfterItsCount)
{
    startCompanion();
    TerminalRun run({"--watch", "0.1", "--count", "3", "snapshot"}, environment_.variables);
    ASSERT_TRUE(run.started());
    const Finished finished = run.finish();
    EXPECT_EQ(finished.status, 0) << finished.output;
    EXPECT_EQ(finished.output.rfind(std::string(kHideCursor) + kHome + "\x1b[2J", 0), 0U) << finished.output;
    // The clearing at the start and one redraw from the top left per answer.
    EXPECT_EQ(occurrences(finished.output, kHome), 4U);
    EXPECT_EQ(occurrences(finished.output, "Fan 1 (F0Ac)           2160 rpm\x1b[K"), 3U) << finished.output;
    EXPECT_EQ(occurrences(finished.output, "snapshot every 0.1 s"), 3U);
    EXPECT_TRUE(finished.output.ends_with(kShowCursor)) << finished.output;
}

TEST_F(QueryTool, CtrlCEndsTheWatchAsInterruptedWithTheCursorBack)
{
    startCompanion();
    TerminalRun run({"--watch", "0.2", "battery"}, environment_.variables);
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.waitFor("No accessory reports a battery."));
    run.type("\x03");
    const Finished finished = run.finish();
    EXPECT_EQ(finished.signal, SIGINT) << finished.output; // the shell reports status 130
    EXPECT_NE(finished.output.find(kShowCursor), std::string::npos) << finished.output;
}

TEST_F(QueryTool, WatchWritesOneLinePerAnswerIntoAPipe)
{
    startCompanion();
    const Finished text = runPiped(
        binary("quorvantile-sensors-query"), {"--watch", "0.1", "--count", "2", "snapshot"}, environment_.variables);
    EXPECT_EQ(text.status, 0) << text.errors;
    const std::regex line(R"(\d\d:\d\d:\d\d Fan 1 2160 rpm, Fan 2 1998 rpm, Battery 29\.8 °C, )"
                          R"(battery capacity 7913/8755 mAh \(90 %\)\n)");
    EXPECT_TRUE(std::regex_match(text.output, std::regex("(" + std::string(R"(\d\d:\d\d:\d\d [^\n]*\n)") + "){2}")))
        << text.output;
    EXPECT_TRUE(std::regex_match(text.output.substr(0, text.output.find('\n') + 1), line)) << text.output;

    const Finished json = runPiped(binary("quorvantile-sensors-query"),
        {"--json", "--watch", "0.1", "--count", "2", "battery"}, environment_.variables);
    EXPECT_EQ(json.status, 0) << json.errors;
    EXPECT_TRUE(std::regex_match(json.output, std::regex(R"((\{"version":1,[^\n]*"readings":\[\]\}\n){2})")))
        << json.output;
}

TEST_F(QueryTool, EachFailureIsOneLineSayingWhatToTry)
{
    const std::string notListening = "quorvantile-sensors-query: no companion is listening at " +
        environment_.socketPath() +
        "; start it with quorvantile-sensors (the settings window) or quorvantile-sensors --manual-diagnostics\n";
    const Finished once = runPiped(binary("quorvantile-sensors-query"), {"snapshot"}, environment_.variables);
    EXPECT_EQ(once.status, 1);
    EXPECT_EQ(once.output, "");
    EXPECT_EQ(once.errors, notListening);
    // Watching goes on through failures, one line each, and ends with the last one's status.
    const Finished watched = runPiped(
        binary("quorvantile-sensors-query"), {"--watch", "0.1", "--count", "2", "battery"}, environment_.variables);
    EXPECT_EQ(watched.status, 1);
    EXPECT_EQ(watched.errors, notListening + notListening);

    startCompanion();
    const Finished refused =
        runPiped(binary("quorvantile-sensors-query-unsigned"), {"snapshot"}, environment_.variables);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.errors,
        "quorvantile-sensors-query: the companion closed the connection without a reply (it refused this program "
        "or could not answer soundly); run quorvantile-sensors --manual-diagnostics in its place to see why\n");

    for (const auto& [arguments, message] : std::vector<std::pair<std::vector<std::string>, std::string>> {
             {{"--json", "--pretty", "snapshot"}, "choose one of --json and --pretty"},
             {{"--count", "2", "snapshot"}, "--count goes with --watch"},
             {{"--watch", "0", "snapshot"}, "--watch needs a number of seconds from 0.1 to 86400"},
             {{"--watch", "1", "quit", "{}"}, "--watch does not repeat a quit request"},
             {{"appview2"}, "unknown request appview2"}}) {
        const Finished wrong = runPiped(binary("quorvantile-sensors-query"), arguments, environment_.variables);
        EXPECT_EQ(wrong.status, 2) << message;
        EXPECT_EQ(wrong.errors, "quorvantile-sensors-query: " + message + " (see --help)\n");
    }
}

// The help and the shell completion name the same options.
TEST(QueryToolHelp, ShowsEveryOptionTheCompletionOffersAndAnExampleOfEachRequest)
{
    const Finished help = runPiped(binary("quorvantile-sensors-query"), {"--help"}, {});
    ASSERT_EQ(help.status, 0);
    std::ifstream completion(
        std::string(QUORVANTILE_FIXTURES_DIR) + "/../../packaging/completions/quorvantile-sensors-query");
    const std::string script((std::istreambuf_iterator<char>(completion)), {});
    std::smatch options;
    ASSERT_TRUE(std::regex_search(script, options, std::regex("compgen -W '(--[^']*)'")));
    std::istringstream words(options[1].str());
    for (std::string option; words >> option;) {
        EXPECT_NE(help.output.find("  " + option + ' '), std::string::npos) << option;
    }
    for (const char* request : {"snapshot", "battery", "inventory", "process", "quit"}) {
        const std::regex example(std::string("quorvantile-sensors-query (--[a-z]+ ([0-9.]+ )?)*") + request + "[ \n]");
        EXPECT_TRUE(std::regex_search(help.output, example)) << request;
    }
}

} // namespace
