#include "Spawned.h"

#include "common/Clock.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace quorvantile::hostile {

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
    const testing::ExecArguments exec(command, options.environment);

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
        execve(exec.argv[0], exec.argv.data(), exec.envp.data());
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

std::optional<std::string> Spawned::readLine(double seconds)
{
    return testing::readLineFrom(output_.get(), buffered_, seconds);
}

std::string Spawned::readErrors(double seconds)
{
    std::string errors;
    std::string rest;
    while (auto line = testing::readLineFrom(errors_.get(), rest, seconds)) {
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
