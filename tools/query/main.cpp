// quorvantile-sensors-query: asks the running companion for one record and prints it for people, or
// as JSON; with --watch, again and again.
#include "QueryClient.h"
#include "QueryMessages.h"
#include "QueryText.h"
#include "common/JsonDecode.h"

#include "companion/GroupContainer.h"
#include "companion/SensorTransport.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

namespace query = quorvantile::query;
namespace messages = quorvantile::query::messages;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr double kDefaultTimeoutSeconds = 5.0;
constexpr double kMaximumTimeoutSeconds = 3600;
constexpr double kMinimumWatchSeconds = 0.1;
constexpr double kMaximumWatchSeconds = 86400;

enum class Output { text, json, pretty };

struct Options {
    Output output = Output::text;
    std::optional<double> watchSeconds;
    std::optional<unsigned long> count;
    std::string socketPath;
    double timeoutSeconds = kDefaultTimeoutSeconds;
    query::RequestKind request;
    std::string body;
};

// ---- Output -------------------------------------------------------------------------------------

// Writes everything, across interruptions by the signals that end --watch.
bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void reportError(std::string_view message) { (void)writeAll(STDERR_FILENO, messages::errorLine(message)); }

int usageError(std::string_view message)
{
    (void)writeAll(STDERR_FILENO, messages::usageLine(message));
    return kExitUsage;
}

std::string usageText()
{
    return std::string("Usage: quorvantile-sensors-query [--json | --pretty] [--watch SECONDS [--count N]]\n"
                       "                                 [--socket PATH] [--timeout SECONDS] REQUEST [BODY]\n"
                       "\n"
                       "Asks the running sensor companion for one record and prints it for people.\n"
                       "\n"
                       "Requests: ") +
        std::string(query::requestNames()) +
        ".\n"
        "BODY is the request's JSON text, or - to read it from standard input. A process is named by\n"
        "its pid and start time, as the inventory lists them.\n"
        "\n"
        "  --json             print the reply exactly as received, one line of JSON\n"
        "  --pretty           print the reply as indented JSON\n"
        "  --watch SECONDS    ask again every SECONDS (0.1 to 86400) until Ctrl-C: redrawn in place on a\n"
        "                     terminal, else one line per answer (a summary, or the JSON with --json or\n"
        "                     --pretty)\n"
        "  --count N          with --watch: stop after N requests\n"
        "  --socket PATH      the companion's socket (default: the one in the group container)\n"
        "  --timeout SECONDS  give up on a request after this long (above 0 to 3600; default: 5)\n"
        "  --help             show this text\n"
        "  --version          show the program's version\n"
        "\n"
        "Examples:\n"
        "  quorvantile-sensors-query snapshot\n"
        "  quorvantile-sensors-query --watch 2 battery\n"
        "  quorvantile-sensors-query inventory\n"
        "  quorvantile-sensors-query process \\\n"
        "      '[{\"pid\":4242,\"startSeconds\":1765000000,\"startMicroseconds\":120000}]'\n"
        "  echo '{\"process\":{\"pid\":4242,\"startSeconds\":1765000000,\"startMicroseconds\":120000},\n"
        "        \"bundleIdentifier\":\"org.gnome.TextEditor\"}' | quorvantile-sensors-query quit -\n"
        "  quorvantile-sensors-query --json --watch 10 battery >> batteries.log\n";
}

struct Rendered {
    std::string text;
    std::string error; // set when the reply cannot be shown as asked
};

// The reply as the options ask for it; `layout` line keeps it on one line (JSON compact as received).
Rendered render(const Options& options, const std::string& reply, query::Layout layout)
{
    const bool oneLine = layout == query::Layout::line;
    switch (options.output) {
    case Output::json:
        return {reply + (oneLine ? "" : "\n"), {}};
    case Output::pretty: {
        if (oneLine) {
            return {reply, {}};
        }
        const auto document = nlohmann::ordered_json::parse(reply, nullptr, /*allow_exceptions=*/false);
        if (document.is_discarded()) {
            return {{}, messages::invalidJson()};
        }
        return {document.dump(2) + '\n', {}};
    }
    case Output::text:
        break;
    }
    auto text = query::replyText(options.request.name, reply, layout, static_cast<std::int64_t>(time(nullptr)));
    if (!text) {
        return {{}, messages::unreadableReply(options.request.name)};
    }
    return {std::move(*text), {}};
}

std::string timeOfDay()
{
    const time_t now = time(nullptr);
    tm local {};
    char buffer[16] = "";
    if (localtime_r(&now, &local) != nullptr) {
        (void)strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
    }
    return buffer;
}

// ---- One request --------------------------------------------------------------------------------

query::Outcome ask(const Options& options)
{
    return query::ask(options.socketPath, options.request, options.body, options.timeoutSeconds);
}

int runOnce(const Options& options)
{
    const auto outcome = ask(options);
    if (const auto* failure = std::get_if<query::Failure>(&outcome)) {
        reportError(messages::failure(*failure, options.socketPath, options.timeoutSeconds));
        return kExitFailure;
    }
    const Rendered rendered = render(options, std::get<std::string>(outcome), query::Layout::table);
    if (!rendered.error.empty()) {
        reportError(rendered.error);
        return kExitFailure;
    }
    if (!writeAll(STDOUT_FILENO, rendered.text)) {
        reportError(messages::cannotWrite());
        return kExitFailure;
    }
    return 0;
}

// ---- --watch ------------------------------------------------------------------------------------

volatile sig_atomic_t stopSignal = 0;

extern "C" void noteStopSignal(int signal) { stopSignal = signal; }

constexpr std::array kStopSignals {SIGINT, SIGTERM, SIGHUP};

void catchStopSignals()
{
    struct sigaction action { };
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a wait ends at once
    for (const int signal : kStopSignals) {
        sigaction(signal, &action, nullptr);
    }
}

// Ends the way the signal would have ended the program, so that a shell sees the interruption
// (status 130 for Ctrl-C) and a script stops too.
[[noreturn]] void endBySignal(int signal)
{
    struct sigaction action { };
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
    std::_Exit(128 + signal);
}

// Sleeps until `deadline` on the monotonic clock or until a stop signal arrives, whichever is first;
// a signal between the check and the sleep is not lost.
void sleepUntil(std::chrono::steady_clock::time_point deadline)
{
    sigset_t stopSet;
    sigset_t previous;
    sigemptyset(&stopSet);
    for (const int signal : kStopSignals) {
        sigaddset(&stopSet, signal);
    }
    sigprocmask(SIG_BLOCK, &stopSet, &previous);
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (stopSignal != 0 || left <= std::chrono::steady_clock::duration::zero()) {
            break;
        }
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout {
            static_cast<time_t>(nanoseconds / 1'000'000'000), static_cast<long>(nanoseconds % 1'000'000'000)};
        (void)pselect(0, nullptr, nullptr, nullptr, &timeout, &previous); // unblocks them while it waits
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// The terminal while watching: the cursor hidden, each answer drawn over the last from the top left,
// cut to the window so that nothing scrolls. The cursor comes back when this goes away.
class TerminalScreen {
public:
    TerminalScreen() { (void)writeAll(STDOUT_FILENO, "\x1b[?25l\x1b[H\x1b[2J"); }
    ~TerminalScreen() { (void)writeAll(STDOUT_FILENO, "\x1b[?25h"); }
    TerminalScreen(const TerminalScreen&) = delete;
    TerminalScreen& operator=(const TerminalScreen&) = delete;

    // `wrap`: long lines continue on the next rows (JSON); else they are cut at the window's edge.
    static bool draw(std::string_view frame, bool wrap)
    {
        winsize size {};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) {
            size.ws_row = 24;
            size.ws_col = 80;
        }
        // One row stays free: a line feed on the last row would scroll the screen.
        const std::size_t rows = size.ws_row > 1 ? size.ws_row - 1U : 1U;
        const std::size_t columns = size.ws_col;
        std::string screen = "\x1b[H";
        std::size_t used = 0;
        while (!frame.empty() && used < rows) {
            const std::size_t end = frame.find('\n');
            std::string_view line = frame.substr(0, end);
            frame.remove_prefix(end == std::string_view::npos ? frame.size() : end + 1);
            const std::size_t width = displayWidth(line);
            std::size_t lineRows = 1;
            if (wrap) {
                lineRows = width == 0 ? 1 : (width + columns - 1) / columns;
                if (used + lineRows > rows) {
                    line = cut(line, (rows - used) * columns);
                    lineRows = rows - used;
                }
            } else {
                line = cut(line, columns);
            }
            screen.append(line);
            screen.append("\x1b[K\n");
            used += lineRows;
        }
        screen.append("\x1b[J");
        return writeAll(STDOUT_FILENO, screen);
    }

private:
    // Columns of UTF-8 text, one per scalar (wide characters are rare in these records).
    static std::size_t displayWidth(std::string_view text)
    {
        std::size_t width = 0;
        for (const char byte : text) {
            width += (static_cast<unsigned char>(byte) & 0xc0U) != 0x80U ? 1 : 0;
        }
        return width;
    }

    static std::string_view cut(std::string_view text, std::size_t columns)
    {
        std::size_t width = 0;
        for (std::size_t index = 0; index < text.size(); ++index) {
            if ((static_cast<unsigned char>(text[index]) & 0xc0U) != 0x80U && width++ == columns) {
                return text.substr(0, index);
            }
        }
        return text;
    }
};

int runWatch(const Options& options)
{
    catchStopSignals();
    const bool onTerminal = isatty(STDOUT_FILENO) == 1;
    std::optional<TerminalScreen> screen;
    if (onTerminal) {
        screen.emplace();
    }
    char interval[32];
    std::snprintf(interval, sizeof interval, "%g", *options.watchSeconds);
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(*options.watchSeconds));

    bool answered = false;
    bool written = true;
    auto next = std::chrono::steady_clock::now();
    for (unsigned long round = 1; stopSignal == 0 && written; ++round) {
        const auto outcome = ask(options);
        Rendered rendered;
        if (const auto* failure = std::get_if<query::Failure>(&outcome)) {
            rendered.error = messages::failure(*failure, options.socketPath, options.timeoutSeconds);
        } else {
            rendered = render(
                options, std::get<std::string>(outcome), onTerminal ? query::Layout::table : query::Layout::line);
        }
        const std::string& shown = rendered.text;
        const std::string& error = rendered.error;
        answered = error.empty();
        if (onTerminal) {
            std::string frame(options.request.name);
            frame.append(" every ").append(interval).append(" s, ").append(timeOfDay()).append(" (Ctrl-C ends)\n\n");
            frame.append(answered ? shown : error + '\n');
            written = TerminalScreen::draw(frame, options.output != Output::text);
        } else if (answered) {
            written = writeAll(STDOUT_FILENO, (options.output == Output::text ? timeOfDay() + ' ' : "") + shown + '\n');
        } else {
            reportError(error);
        }
        if (options.count && round >= *options.count) {
            break;
        }
        next += period;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) {
            next = now; // a slow answer delays the next one, it does not bunch them up
        }
        sleepUntil(next);
    }
    screen.reset();
    if (stopSignal != 0) {
        endBySignal(stopSignal);
    }
    if (!written) {
        reportError(messages::cannotWrite());
        return kExitFailure;
    }
    return answered ? 0 : kExitFailure;
}

// ---- Command line -------------------------------------------------------------------------------

std::optional<double> parseSeconds(const std::string& text, double minimum, double maximum)
{
    try {
        std::size_t used = 0;
        const double seconds = std::stod(text, &used);
        if (used == text.size() && seconds >= minimum && seconds <= maximum && std::isfinite(seconds)) {
            return seconds;
        }
    } catch (const std::logic_error&) {
    }
    return std::nullopt;
}

std::optional<unsigned long> parseCount(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    try {
        const unsigned long count = std::stoul(text);
        return count >= 1 ? std::optional(count) : std::nullopt;
    } catch (const std::logic_error&) {
        return std::nullopt;
    }
}

// At most one byte more than a body may hold, so that an oversized body is refused, not cut.
std::optional<std::string> readStandardInput()
{
    const std::size_t limit = quorvantile::SensorTransport::kMaximumRequestBodyBytes + 1;
    std::string body;
    char buffer[4096];
    while (body.size() < limit) {
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        body.append(buffer, static_cast<std::size_t>(got));
    }
    if (body.size() > limit) {
        body.resize(limit);
    }
    return body;
}

int run(int argc, char** argv)
{
    Options options;
    bool json = false;
    bool pretty = false;
    std::vector<std::string> operands;

    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--help" || argument == "-h") {
            return writeAll(STDOUT_FILENO, usageText()) ? 0 : kExitFailure;
        }
        if (argument == "--version") {
            return writeAll(STDOUT_FILENO, "quorvantile-sensors-query " QUORVANTILE_VERSION "\n") ? 0 : kExitFailure;
        }
        if (argument == "--json") {
            json = true;
        } else if (argument == "--pretty") {
            pretty = true;
        } else if (argument == "--socket" || argument == "--timeout" || argument == "--watch" ||
            argument == "--count") {
            if (index + 1 >= argc) {
                return usageError(argument + " needs a value");
            }
            const std::string value = argv[++index];
            if (argument == "--socket") {
                options.socketPath = value;
            } else if (argument == "--timeout") {
                const auto seconds = parseSeconds(value, 0, kMaximumTimeoutSeconds);
                if (!seconds || *seconds <= 0) {
                    return usageError("--timeout needs a number of seconds from above 0 to 3600");
                }
                options.timeoutSeconds = *seconds;
            } else if (argument == "--watch") {
                options.watchSeconds = parseSeconds(value, kMinimumWatchSeconds, kMaximumWatchSeconds);
                if (!options.watchSeconds) {
                    return usageError("--watch needs a number of seconds from 0.1 to 86400");
                }
            } else {
                options.count = parseCount(value);
                if (!options.count) {
                    return usageError("--count needs a whole number of requests, at least 1");
                }
            }
        } else if (argument.size() > 1 && argument[0] == '-' && argument != "-") {
            return usageError("unknown option " + argument);
        } else {
            operands.push_back(argument);
        }
    }
    if (json && pretty) {
        return usageError("choose one of --json and --pretty");
    }
    options.output = json ? Output::json : pretty ? Output::pretty : Output::text;
    if (options.count && !options.watchSeconds) {
        return usageError("--count goes with --watch");
    }
    if (operands.empty()) {
        return usageError("name a request");
    }
    const auto request = query::requestNamed(operands[0]);
    if (!request) {
        return usageError("unknown request " + operands[0]);
    }
    options.request = *request;
    if (operands.size() != (request->hasBody ? 2U : 1U)) {
        return usageError(request->hasBody ? operands[0] + " needs one BODY" : operands[0] + " takes no BODY");
    }
    if (options.watchSeconds && request->name == "quit") {
        return usageError("--watch does not repeat a quit request");
    }
    if (request->hasBody) {
        options.body = operands[1];
        if (options.body == "-") {
            auto body = readStandardInput();
            if (!body) {
                reportError(messages::unreadableBody());
                return kExitFailure;
            }
            options.body = std::move(*body);
        }
    }
    if (options.socketPath.empty()) {
        const auto path = quorvantile::companionSocketPath(quorvantile::readEnvironment());
        if (!path) {
            reportError(messages::noGroupContainer());
            return kExitFailure;
        }
        options.socketPath = *path;
    }
    return options.watchSeconds ? runWatch(options) : runOnce(options);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        reportError(error.what());
        return kExitFailure;
    }
}
