#pragma once

#include "QueryClient.h"
#include "common/UniqueFd.h"

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile::testing {

// A private temporary directory (mode 0700), given to `owner` when set, removed with its contents.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(std::optional<uid_t> owner = std::nullopt);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The next line on `fd` after what `buffered` holds (without its line feed), waiting at most `seconds`.
[[nodiscard]] std::optional<std::string> readLineFrom(int fd, std::string& buffered, double seconds);

// A stream connection to the UNIX socket at `path`; invalid when none could be made.
[[nodiscard]] UniqueFd connectTo(const std::string& path);

// How a child runs: `environment` is added to (or replaces) ours.
struct ChildOptions {
    std::map<std::string, std::string> environment {};
    std::optional<uid_t> user {}; // run as this uid and gid; needs root
    bool traced = false; // PTRACE_TRACEME before exec; waitForExit lets it run
    bool errorsToPipe = false; // standard error on a pipe of its own, else ours
    bool terminal = false; // standard input, output and error on a 24 x 80 pseudo-terminal
};

// One run of a program with its standard input and output on pipes. The process is killed and
// reaped when the object goes away.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> command, const ChildOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    // The next line of standard output (without its line feed), waiting at most `seconds`.
    [[nodiscard]] std::optional<std::string> readLine(double seconds)
    {
        return readLineFrom(output_.get(), buffered_, seconds);
    }
    // Everything the process still writes until it closes standard output (or error), at most `seconds`.
    [[nodiscard]] std::string readRest(double seconds, bool errors = false);
    [[nodiscard]] std::string readErrors(double seconds) { return readRest(seconds, true); }
    void closeInput() { input_.reset(); }
    [[nodiscard]] bool write(std::string_view bytes);
    // The exit status, waiting at most `seconds`; absent when it is still running or was signalled.
    [[nodiscard]] std::optional<int> waitForExit(double seconds);
    // The signal that ended it, 0 for none.
    [[nodiscard]] int endSignal() const { return endSignal_; }
    void kill(int signal);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int endSignal_ = 0;
    UniqueFd input_, output_, errors_;
    std::string buffered_;
};

// The companion in its own group container below a fresh XDG_RUNTIME_DIR.
struct CompanionEnvironment {
    TemporaryDirectory runtime;
    std::map<std::string, std::string> variables;
    explicit CompanionEnvironment(std::optional<uid_t> owner = std::nullopt);
    [[nodiscard]] std::string container() const;
    [[nodiscard]] std::string socketPath() const;
    // The companion in one of its run modes ("--diagnostics" …) in this environment.
    [[nodiscard]] std::unique_ptr<ChildProcess> start(const std::string& mode, ChildOptions options = {}) const;
    // One request by its name (and its body, when it has one), as a trusted parent asks it.
    [[nodiscard]] query::Outcome ask(std::string_view request = "snapshot", std::string_view body = {}) const;
};

[[nodiscard]] std::string binary(const std::string& name);

// Why `user` cannot run the program `name`, or nothing when it can. A build below a folder only its
// owner may enter (a clone in /root) is out of reach of another user, and the tests that run a
// program as one skip that part with this reason.
[[nodiscard]] std::optional<std::string> outOfReach(uid_t user, const std::string& name);

} // namespace quorvantile::testing
