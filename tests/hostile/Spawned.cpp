#include "Spawned.h"

#include "common/Clock.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quorvantile::hostile {
namespace {

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

} // namespace

Spawned::Spawned(const std::vector<std::string>& command, const SpawnOptions& options) : traced_(options.traced)
{
    int output[2];
    int errors[2];
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    output_.reset(output[0]);
    errors_.reset(errors[0]);
    const UniqueFd childOutput(output[1]);
    const UniqueFd childErrors(errors[1]);

    // Everything the child needs is prepared before fork: after it only system calls run.
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (options.environment.count(text.substr(0, text.find('='))) == 0) {
            variables.push_back(text);
        }
    }
    for (const auto& [name, value] : options.environment) {
        variables.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> copies = command;
    std::vector<char*> argv;
    for (auto& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        const int input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, 0) < 0 || dup2(childOutput.get(), 1) < 0 || dup2(childErrors.get(), 2) < 0) {
            _exit(126);
        }
        if (options.user && (setgroups(0, nullptr) != 0 || setgid(*options.user) != 0 || setuid(*options.user) != 0)) {
            _exit(126);
        }
        if (options.traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
}

Spawned::~Spawned()
{
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<std::string> Spawned::readLine(double seconds) { return readLineFrom(output_.get(), buffered_, seconds); }

std::string Spawned::readErrors(double seconds)
{
    std::string errors;
    std::string rest;
    while (auto line = readLineFrom(errors_.get(), rest, seconds)) {
        errors += *line + "\n";
    }
    return errors + rest;
}

std::optional<int> Spawned::waitForExit(double seconds)
{
    const double deadline = systemClock().uptime() + seconds;
    while (!reaped_) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ && WIFSTOPPED(status) && traced_) {
            // The exec stop (SIGTRAP) is swallowed; any other signal is passed on.
            const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
            ptrace(PTRACE_CONT, pid_, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
            continue;
        }
        if (done == pid_) {
            reaped_ = true;
            return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
        }
        if (systemClock().uptime() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return std::nullopt;
}

void Spawned::kill(int signal)
{
    if (!reaped_) {
        ::kill(pid_, signal);
    }
}

PrivateDirectory::PrivateDirectory(std::optional<uid_t> owner)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvantile-hostile-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    if (owner && chown(path_.c_str(), *owner, *owner) != 0) {
        throw std::runtime_error("chown failed");
    }
}

PrivateDirectory::~PrivateDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string binary(const std::string& name) { return std::string(QUORVANTILE_BIN_DIR) + "/" + name; }

std::map<std::string, std::string> companionEnvironment(const std::string& runtime)
{
    const std::string machine = std::string(QUORVANTILE_FIXTURES_DIR) + "/sensors/intel-mac";
    return {{"XDG_RUNTIME_DIR", runtime}, {"QUORVANTILE_SYSFS_ROOT", machine + "/sys"}};
}

std::string containerOf(const std::string& runtime) { return runtime + "/7Q4KX2M8PZ.com.zembo.quorvantile"; }
std::string socketOf(const std::string& runtime) { return containerOf(runtime) + "/sensors-v1.sock"; }

int openDescriptors(pid_t pid)
{
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && entry != end; entry.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

long statusBytes(pid_t pid, const std::string& key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stol(line.substr(key.size() + 1)) * 1024;
        }
    }
    return -1;
}

} // namespace quorvantile::hostile
