// The query tool as a person runs it: in a terminal (a pseudo-terminal here), into a pipe, and when
// there is nothing to talk to.
#include "CompanionProcess.h"
#include "TestPaths.h"
#include "companion/SensorTransport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace {

using namespace quorvantile::testing;
using quorvantile::UniqueFd;

constexpr double kPatienceSeconds = 10.0;

struct Finished {
    std::string output, errors;
    int status = -1; // -1 when a signal ended the program
    bool operator==(const Finished&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Finished& run)
    {
        return out << "status " << run.status << ", errors: " << run.errors << "output: " << run.output;
    }
};

Finished finish(ChildProcess& tool)
{
    tool.closeInput();
    Finished finished {tool.readRest(kPatienceSeconds), tool.readErrors(kPatienceSeconds)};
    finished.status = tool.waitForExit(kPatienceSeconds).value_or(-1);
    return finished;
}

Finished run(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment,
    const std::string& program = "quorvantile-sensors-query")
{
    arguments.insert(arguments.begin(), binary(program));
    ChildProcess tool(arguments, {.environment = environment, .errorsToPipe = true});
    return finish(tool);
}

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()), ++count) { }
    return count;
}

class QueryTool : public ::testing::Test {
protected:
    void startCompanion()
    {
        companion_ = environment_.start("--manual-diagnostics");
        ASSERT_TRUE(companion_->readLine(kPatienceSeconds).has_value());
    }
    CompanionEnvironment environment_;
    std::unique_ptr<ChildProcess> companion_;
};

constexpr const char* kHideCursor = "\x1b[?25l";
constexpr const char* kShowCursor = "\x1b[?25h";
constexpr const char* kHome = "\x1b[H";

TEST_F(QueryTool, WatchRedrawsATerminalInPlaceEndsOnCtrlCWithTheCursorBackAndWritesLinesIntoAPipe)
{
    startCompanion();
    ChildProcess counted({binary("quorvantile-sensors-query"), "--watch", "0.1", "--count", "3", "snapshot"},
        {.environment = environment_.variables, .terminal = true});
    const Finished finished = finish(counted);
    EXPECT_EQ(finished.status, 0) << finished.output;
    EXPECT_EQ(finished.output.rfind(std::string(kHideCursor) + kHome + "\x1b[2J", 0), 0U) << finished.output;
    // The clearing at the start and one redraw from the top left per answer.
    EXPECT_EQ(occurrences(finished.output, kHome), 4U);
    EXPECT_EQ(occurrences(finished.output, "Fan 1 (F0Ac)           2160 rpm\x1b[K"), 3U) << finished.output;
    EXPECT_EQ(occurrences(finished.output, "snapshot every 0.1 s"), 3U);
    EXPECT_TRUE(finished.output.ends_with(kShowCursor)) << finished.output;

    ChildProcess endless({binary("quorvantile-sensors-query"), "--watch", "0.2", "battery"},
        {.environment = environment_.variables, .terminal = true});
    std::optional<std::string> line;
    while ((line = endless.readLine(kPatienceSeconds)) &&
        line->find("No accessory reports a battery.") == std::string::npos) { }
    ASSERT_TRUE(line) << "the first answer was not shown";
    ASSERT_TRUE(endless.write("\x03"));
    const Finished interrupted = finish(endless);
    EXPECT_EQ(endless.endSignal(), SIGINT) << interrupted.output; // the shell reports status 130
    EXPECT_NE(interrupted.output.find(kShowCursor), std::string::npos) << interrupted.output;

    const Finished text = run({"--watch", "0.1", "--count", "2", "snapshot"}, environment_.variables);
    EXPECT_EQ(text.status, 0) << text.errors;
    // Both answers of the fixture machine, each behind the time of day.
    const std::string answer = R"(\d\d:\d\d:\d\d Fan 1 2160 rpm, Fan 2 1998 rpm, Battery 29\.8 °C, )"
                               R"(battery capacity 7913/8755 mAh \(90 %\)\n)";
    EXPECT_TRUE(std::regex_match(text.output, std::regex("(" + answer + "){2}"))) << text.output;

    const Finished json = run({"--json", "--watch", "0.1", "--count", "2", "battery"}, environment_.variables);
    EXPECT_EQ(json.status, 0) << json.errors;
    EXPECT_TRUE(std::regex_match(json.output, std::regex(R"((\{"version":1,[^\n]*"readings":\[\]\}\n){2})")))
        << json.output;
}

TEST_F(QueryTool, EachFailureIsOneLineSayingWhatToTry)
{
    const std::string notListening = "quorvantile-sensors-query: no companion is listening at " +
        environment_.socketPath() +
        "; start it with quorvantile-sensors (the settings window) or quorvantile-sensors --manual-diagnostics\n";
    EXPECT_EQ(run({"snapshot"}, environment_.variables), (Finished {"", notListening, 1}));
    // Watching goes on through failures, one line each, and ends with the last one's status.
    EXPECT_EQ(run({"--watch", "0.1", "--count", "2", "battery"}, environment_.variables),
        (Finished {"", notListening + notListening, 1}));

    startCompanion();
    EXPECT_EQ(run({"snapshot"}, environment_.variables, "quorvantile-sensors-query-unsigned"),
        (Finished {"",
            "quorvantile-sensors-query: the companion closed the connection without a reply (it refused this program "
            "or could not answer soundly); run quorvantile-sensors --manual-diagnostics in its place to see why\n",
            1}));

    // A body on standard input one byte over the limit is refused whole, never cut to fit.
    ChildProcess oversized({binary("quorvantile-sensors-query"), "process", "-"},
        {.environment = environment_.variables, .errorsToPipe = true});
    ASSERT_TRUE(oversized.write(std::string(2049, ' ')));
    EXPECT_EQ(finish(oversized),
        (Finished {"", "quorvantile-sensors-query: the request body must hold 1 to 2048 bytes\n", 1}));

    for (const auto& [arguments, message] : std::vector<std::pair<std::vector<std::string>, std::string>> {
             {{"--json", "--pretty", "snapshot"}, "choose one of --json and --pretty"},
             {{"--count", "2", "snapshot"}, "--count goes with --watch"},
             {{"--watch", "0", "snapshot"}, "--watch needs a number of seconds from 0.1 to 86400"},
             {{"--watch", "2s", "--count", "1", "snapshot"}, "--watch needs a number of seconds from 0.1 to 86400"},
             {{"--watch", "1", "quit", "{}"}, "--watch does not repeat a quit request"},
             {{"appview2"}, "unknown request appview2"}}) {
        EXPECT_EQ(run(arguments, environment_.variables),
            (Finished {"", "quorvantile-sensors-query: " + message + " (see --help)\n", 2}));
    }
}

TEST(QueryToolHelp, ShowsEveryOptionTheCompletionOffersAndAnExampleOfEachRequest)
{
    EXPECT_EQ(
        run({"snapshot", "--version"}, {}), (Finished {"quorvantile-sensors-query " QUORVANTILE_VERSION "\n", "", 0}));
    const Finished help = run({"--help"}, {});
    ASSERT_EQ(help.status, 0);
    std::ifstream completion(
        quorvantile::testing::fixturesDirectory() + "/../../packaging/completions/quorvantile-sensors-query");
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

// Whoever listens at the socket hears the request: one served by another user hears nothing, and
// the tool says why.
TEST(QueryToolServer, ASocketOfAnotherUserIsSentNothing)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a socket of another user than the tool's needs root";
    }
    if (const auto reason = outOfReach(65534, "quorvantile-sensors-query")) {
        GTEST_SKIP() << *reason;
    }
    const TemporaryDirectory directory;
    ASSERT_EQ(chmod(directory.path().c_str(), 0755), 0);
    const std::string path = directory.path() + "/sensors-v1.sock";
    const UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto address = quorvantile::SensorTransport::address(path);
    ASSERT_TRUE(listener && address);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
    ASSERT_EQ(chmod(path.c_str(), 0777), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);

    ChildProcess tool(
        {binary("quorvantile-sensors-query"), "--socket", path, "snapshot"}, {.user = 65534, .errorsToPipe = true});
    pollfd waiting {listener.get(), POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 10'000), 1);
    const UniqueFd connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(connection);
    pollfd reading {connection.get(), POLLIN, 0};
    char byte = 0;
    EXPECT_TRUE(poll(&reading, 1, 10'000) == 1 && recv(connection.get(), &byte, 1, 0) == 0)
        << "the request was sent to another user's socket";
    const Finished finished = finish(tool);
    EXPECT_EQ(finished.status, 1);
    EXPECT_NE(finished.errors.find("is served by uid 0, not by this user"), std::string::npos) << finished;
}

} // namespace
