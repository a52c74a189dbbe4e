#include "CompanionProcess.h"

#include "common/Clock.h"
#include "companion/SensorTransport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

ExecArguments::ExecArguments(std::vector<std::string> command, const std::map<std::string, std::string>& additions)
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
    for (auto [strings, pointers] : {std::pair(&arguments, &argv), std::pair(&variables, &envp)}) {
        for (auto& text : *strings) {
            pointers->push_back(text.data());
        }
        pointers->push_back(nullptr);
    }
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

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
    const std::map<std::string, std::string>& environment, bool outputToDevFull)
{
    int inputPipe[2];
    int outputPipe[2];
    if (pipe2(inputPipe, O_CLOEXEC) != 0 || pipe2(outputPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    UniqueFd childInput(inputPipe[0]);
    input_.reset(inputPipe[1]);
    output_.reset(outputPipe[0]);
    UniqueFd childOutput(outputPipe[1]);
    std::vector<std::string> command {program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const ExecArguments exec(std::move(command), environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childInput.get(), 0);
    if (outputToDevFull) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, childOutput.get(), 1);
    }
    const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, exec.argv.data(), exec.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("posix_spawn failed for " + program);
    }
}

ChildProcess::~ChildProcess()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<std::string> ChildProcess::readLine(double seconds)
{
    return readLineFrom(output_.get(), buffered_, seconds);
}

std::string ChildProcess::readRest(double seconds)
{
    std::string rest;
    while (auto line = readLine(seconds)) {
        rest += *line + "\n";
    }
    rest += std::exchange(buffered_, {});
    return rest;
}

std::optional<int> ChildProcess::waitForExit(double seconds)
{
    const double deadline = systemClock().uptime() + seconds;
    while (!reaped_) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            if (!WIFEXITED(status)) {
                return std::nullopt;
            }
            return WEXITSTATUS(status);
        }
        if (systemClock().uptime() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

void ChildProcess::terminate()
{
    if (!reaped_) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
}

CompanionEnvironment::CompanionEnvironment()
{
    variables["XDG_RUNTIME_DIR"] = runtime.path();
    const std::string machine = std::string(QUORVANTILE_FIXTURES_DIR) + "/sensors/intel-mac";
    variables["QUORVANTILE_SYSFS_ROOT"] = machine + "/sys";
}

std::string CompanionEnvironment::container() const { return runtime.path() + "/7Q4KX2M8PZ.com.zembo.quorvantile"; }

std::string CompanionEnvironment::socketPath() const { return container() + "/sensors-v1.sock"; }
std::string CompanionEnvironment::lockPath() const { return container() + "/sensors-v1.lock"; }

std::unique_ptr<ChildProcess> CompanionEnvironment::start(const std::string& mode) const
{
    return std::make_unique<ChildProcess>(binary("quorvantile-sensors"), std::vector<std::string> {mode}, variables);
}

query::Outcome CompanionEnvironment::ask(std::string_view request) const
{
    constexpr double kPatienceSeconds = 5.0;
    return query::ask(socketPath(), *query::requestNamed(request), {}, kPatienceSeconds);
}

std::string binary(const std::string& name) { return std::string(QUORVANTILE_BIN_DIR) + "/" + name; }

} // namespace quorvantile::testing
