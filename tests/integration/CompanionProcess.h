#pragma once

#include "QueryClient.h"
#include "common/UniqueFd.h"

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
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

// `command` and our environment with `additions` added or replaced, as the arrays exec takes. Built
// before fork, so that the child only makes system calls.
struct ExecArguments {
    ExecArguments(std::vector<std::string> command, const std::map<std::string, std::string>& additions);
    ExecArguments(const ExecArguments&) = delete;
    ExecArguments& operator=(const ExecArguments&) = delete;
    std::vector<std::string> arguments, variables;
    std::vector<char*> argv, envp;
};

// The next line on `fd` after what `buffered` holds (without its line feed), waiting at most `seconds`.
[[nodiscard]] std::optional<std::string> readLineFrom(int fd, std::string& buffered, double seconds);

// A stream connection to the UNIX socket at `path`; invalid when none could be made.
[[nodiscard]] UniqueFd connectTo(const std::string& path);

// One run of a built program with its standard input and output on pipes and its own environment
// additions. The process is killed and reaped when the object goes away.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
        const std::map<std::string, std::string>& environment, bool outputToDevFull = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    // The next line of standard output (without its line feed), waiting at most `seconds`.
    [[nodiscard]] std::optional<std::string> readLine(double seconds);
    // Everything the process still writes until it closes standard output, at most `seconds`.
    [[nodiscard]] std::string readRest(double seconds);
    // Closes our end of its standard input.
    void closeInput() { input_.reset(); }
    // The exit status, waiting at most `seconds`; absent when it is still running or was signalled.
    [[nodiscard]] std::optional<int> waitForExit(double seconds);
    void terminate();

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    UniqueFd input_;
    UniqueFd output_;
    std::string buffered_;
};

// The companion in its own group container below a fresh XDG_RUNTIME_DIR.
struct CompanionEnvironment {
    TemporaryDirectory runtime;
    std::map<std::string, std::string> variables;
    CompanionEnvironment();
    [[nodiscard]] std::string container() const;
    [[nodiscard]] std::string socketPath() const;
    [[nodiscard]] std::string lockPath() const;
    // The companion in one of its run modes ("--diagnostics" …) in this environment.
    [[nodiscard]] std::unique_ptr<ChildProcess> start(const std::string& mode) const;
    // One request without a body, as a trusted parent asks it.
    [[nodiscard]] query::Outcome ask(std::string_view request = "snapshot") const;
};

[[nodiscard]] std::string binary(const std::string& name);

} // namespace quorvantile::testing
