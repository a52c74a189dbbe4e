#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace quorvantile::testing {

// A child process started from a program and its arguments. The destructor kills and reaps it if
// the test has not.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> arguments)
    {
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
    }
    // Takes over a child made some other way (fork).
    static ChildProcess adopt(pid_t pid) { return ChildProcess(pid); }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), reaped_(other.reaped_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&&) = delete;
    ~ChildProcess()
    {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            reap();
        }
    }

    [[nodiscard]] pid_t pid() const { return pid_; }

    // Kills the child and waits until it is a zombie, without reaping it.
    bool killToZombie()
    {
        siginfo_t info {};
        return ::kill(pid_, SIGKILL) == 0 && ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) == 0;
    }

    void reap()
    {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
        reaped_ = true;
    }

private:
    explicit ChildProcess(pid_t pid) : pid_(pid) { }

    pid_t pid_ = -1;
    bool reaped_ = false;
};

} // namespace quorvantile::testing
