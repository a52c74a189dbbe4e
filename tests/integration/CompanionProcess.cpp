#include "CompanionProcess.h"
#include "TestPaths.h"

#include "common/Clock.h"
#include "companion/SensorTransport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quorvantile::testing {

namespace {

// `command` and our environment with `additions` added or replaced, as the arrays exec takes. Built
// before fork, so that the child only makes system calls.
struct ExecArguments {
    ExecArguments(std::vector<std::string> command, const std::map<std::string, std::string>& additions)
        : arguments(std::move(command))
    {
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (additions.count(text.substr(0, text.find('='))) == 0) {
                variables.push_back(text);
            }
        }
        for (const auto& [name, value] : additions) {
            variables.push_back(name + "=" + value);
        }
        // In sanitizer builds a preloaded library comes before the runtime, which then refuses to start.
        if (additions.count("LD_PRELOAD") != 0 && additions.count("ASAN_OPTIONS") == 0) {
            const char* inherited = getenv("ASAN_OPTIONS");
            std::erase_if(variables, [](const std::string& text) { return text.starts_with("ASAN_OPTIONS="); });
            variables.push_back(std::string("ASAN_OPTIONS=") + (inherited != nullptr ? inherited : "") +
                (inherited != nullptr && *inherited != '\0' ? ":" : "") + "verify_asan_link_order=0");
        }
        for (auto [strings, pointers] : {std::pair(&arguments, &argv), std::pair(&variables, &envp)}) {
            for (auto& text : *strings) {
                pointers->push_back(text.data());
            }
            pointers->push_back(nullptr);
        }
    }
    std::vector<std::string> arguments, variables;
    std::vector<char*> argv, envp;
};

} // namespace

TemporaryDirectory::TemporaryDirectory(std::optional<uid_t> owner)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvantile-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr || (owner && chown(pattern.c_str(), *owner, *owner) != 0)) {
        throw std::runtime_error("no temporary directory");
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::optional<std::string> readLineFrom(int fd, std::string& buffered, double seconds)
{
    const double deadline = systemClock().uptime() + seconds;
    for (;;) {
        const auto newline = buffered.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered.substr(0, newline);
            buffered.erase(0, newline + 1);
            return line;
        }
        const double remaining = deadline - systemClock().uptime();
        if (remaining <= 0 || fd < 0) {
            return std::nullopt;
        }
        pollfd entry {fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(std::ceil(remaining * 1000))) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return std::nullopt;
        }
        buffered.append(chunk, static_cast<std::size_t>(got));
    }
}

UniqueFd connectTo(const std::string& path)
{
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto address = SensorTransport::address(path);
    if (!fd || !address || connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        return {};
    }
    return fd;
}

ChildProcess::ChildProcess(std::vector<std::string> command, const ChildOptions& options)
{
    const ExecArguments exec(std::move(command), options.environment);
    UniqueFd childInput, childOutput, childErrors;
    const auto pipeTo = [](UniqueFd& ours, UniqueFd& theirs, bool weRead) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        ours.reset(fds[weRead ? 0 : 1]);
        theirs.reset(fds[weRead ? 1 : 0]);
    };
    if (options.terminal) {
        int terminal = -1;
        winsize size {24, 80, 0, 0};
        pid_ = forkpty(&terminal, nullptr, nullptr, &size);
        if (pid_ > 0) {
            output_.reset(terminal);
            input_.reset(fcntl(terminal, F_DUPFD_CLOEXEC, 0));
            fcntl(terminal, F_SETFD, FD_CLOEXEC); // kept from the children that follow
        }
    } else {
        pipeTo(input_, childInput, false);
        pipeTo(output_, childOutput, true);
        if (options.errorsToPipe) {
            pipeTo(errors_, childErrors, true);
        }
        pid_ = fork();
    }
    if (pid_ < 0) {
        throw std::runtime_error("fork failed for " + exec.arguments.front());
    }
    if (pid_ == 0) {
        // Only system calls from here on: 126 when the child could not be set up, 127 when exec failed.
        const bool prepared = (options.terminal ||
                                  (dup2(childInput.get(), 0) >= 0 && dup2(childOutput.get(), 1) >= 0 &&
                                      (!options.errorsToPipe || dup2(childErrors.get(), 2) >= 0))) &&
            (!options.user ||
                (setgroups(0, nullptr) == 0 && setgid(*options.user) == 0 && setuid(*options.user) == 0)) &&
            (!options.traced || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0);
        if (prepared) {
            execve(exec.argv[0], exec.argv.data(), exec.envp.data());
        }
        _exit(prepared ? 127 : 126);
    }
}

ChildProcess::~ChildProcess()
{
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string ChildProcess::readRest(double seconds, bool errors)
{
    std::string unread, rest;
    std::string& buffered = errors ? unread : buffered_;
    while (auto line = readLineFrom((errors ? errors_ : output_).get(), buffered, seconds)) {
        rest += *line + "\n";
    }
    return rest + std::exchange(buffered, {});
}

bool ChildProcess::write(std::string_view bytes)
{
    return ::write(input_.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::optional<int> ChildProcess::waitForExit(double seconds)
{
    const double deadline = systemClock().uptime() + seconds;
    while (!reaped_) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ && WIFSTOPPED(status)) {
            // Only a traced child stops here: its exec stop (SIGTRAP) is swallowed, other signals passed on.
            const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
            ptrace(PTRACE_CONT, pid_, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
            continue;
        }
        if (done == pid_) {
            reaped_ = true;
            endSignal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
        }
        if (systemClock().uptime() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return std::nullopt;
}

void ChildProcess::kill(int signal)
{
    if (!reaped_) {
        ::kill(pid_, signal);
    }
}

CompanionEnvironment::CompanionEnvironment(std::optional<uid_t> owner) : runtime(owner)
{
    variables["XDG_RUNTIME_DIR"] = runtime.path();
    variables["QUORVANTILE_SYSFS_ROOT"] = fixturesDirectory() + "/sensors/intel-mac/sys";
    // No system bus unless a test starts one: the machine's own BlueZ must not change what tests see.
    variables["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + runtime.path() + "/no-system-bus";
}

std::string CompanionEnvironment::container() const { return runtime.path() + "/7Q4KX2M8PZ.com.zembo.quorvantile"; }

std::string CompanionEnvironment::socketPath() const { return container() + "/sensors-v1.sock"; }

std::unique_ptr<ChildProcess> CompanionEnvironment::start(const std::string& mode, ChildOptions options) const
{
    options.environment.insert(variables.begin(), variables.end());
    return std::make_unique<ChildProcess>(std::vector<std::string> {binary("quorvantile-sensors"), mode}, options);
}

query::Outcome CompanionEnvironment::ask(std::string_view request, std::string_view body) const
{
    return query::ask(socketPath(), *query::requestNamed(request), body, 5.0);
}

std::string binary(const std::string& name) { return binDirectory() + "/" + name; }

std::optional<std::string> outOfReach(uid_t user, const std::string& name)
{
    const std::string path = binary(name);
    const pid_t child = fork();
    if (child == 0) {
        const bool runnable =
            setgroups(0, nullptr) == 0 && setgid(user) == 0 && setuid(user) == 0 && access(path.c_str(), X_OK) == 0;
        _exit(runnable ? 0 : 1);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return std::nullopt;
    }
    return "uid " + std::to_string(user) + " cannot run " + path + ": build where other users may enter";
}

} // namespace quorvantile::testing
