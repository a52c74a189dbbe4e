// The server child: started with launchChild (fork and execveat of the descriptor opened once), its
// end seen through a pidfd on a watcher thread that reaps it. Signals go through the pidfd, which
// keeps naming this child even after its id was freed, so no other process can receive them.
#include "setup/linux/PidfdChildLauncher.h"

#include "setup/linux/ChildLaunch.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

// Debian 12's <sys/pidfd.h> lacks C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>
#include <cstdint>
#include <thread>

namespace quorvantile::setup {
namespace {

void reap(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
}

// Waits until the child has ended (then reaps it and calls onExit) or the controller goes away.
void watch(int pidfd, int cancel, pid_t pid, const std::function<void()>& onExit)
{
    pollfd events[2] = {{pidfd, POLLIN, 0}, {cancel, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(events, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return; // cannot happen with valid descriptors; nothing is left to watch with
        }
        if (events[0].revents != 0) {
            break; // an ended child is reported even when the controller is going away
        }
        if (events[1].revents != 0) {
            return;
        }
    }
    // The pid cannot be reused before this reaps it, as only this watcher waits for it.
    reap(pid);
    if (onExit) {
        onExit();
    }
}

// One launched child: a pidfd for the running checks and signals, and its watcher thread.
class PidfdChild final : public WatchedChild {
public:
    // The watcher uses the descriptors owned here: it is joined before they are closed.
    PidfdChild(pid_t pid, UniqueFd pidfd, UniqueFd cancel, std::function<void()> onExit)
        : pidfd_(std::move(pidfd)), cancel_(std::move(cancel)),
          watcher_([pid, processFd = pidfd_.get(), cancelFd = cancel_.get(), report = std::move(onExit)] {
              watch(processFd, cancelFd, pid, report);
          })
    {
    }
    ~PidfdChild() override
    {
        const std::uint64_t one = 1;
        (void)!::write(cancel_.get(), &one, sizeof one); // wakes a watcher whose child still runs
        watcher_.join();
    }
    PidfdChild(const PidfdChild&) = delete;
    PidfdChild& operator=(const PidfdChild&) = delete;

    [[nodiscard]] bool running() const override
    {
        // A pidfd turns readable when the process has ended, reaped or not.
        pollfd event {pidfd_.get(), POLLIN, 0};
        return ::poll(&event, 1, 0) == 0;
    }

    [[nodiscard]] bool signal(int number) override
    {
        return ::pidfd_send_signal(pidfd_.get(), number, nullptr, 0) == 0 || errno == ESRCH;
    }

private:
    UniqueFd pidfd_;
    UniqueFd cancel_;
    std::thread watcher_; // last: it starts once the descriptors it uses are in place
};

class PidfdChildLauncher final : public ChildLauncher {
public:
    PidfdChildLauncher(UniqueFd executable, std::vector<std::string> environment)
        : executable_(std::move(executable)), environment_(std::move(environment))
    {
        // Built once and only read afterwards: the entries do not move while this launcher lives.
        environmentPointers_.reserve(environment_.size() + 1);
        for (auto& entry : environment_) {
            environmentPointers_.push_back(entry.data());
        }
        environmentPointers_.push_back(nullptr);
    }
    PidfdChildLauncher(const PidfdChildLauncher&) = delete;
    PidfdChildLauncher& operator=(const PidfdChildLauncher&) = delete;

    [[nodiscard]] Outcome launch(const std::string& executable, const std::string& argument, int input, int output,
        std::function<void()> onExit, std::unique_ptr<WatchedChild>& child) override
    {
        std::string name = executable;
        std::string only = argument;
        char* arguments[] = {name.data(), only.data(), nullptr};
        pid_t pid = -1;
        if (Outcome launched =
                launchChild({executable_.get(), input, output, arguments, environmentPointers_.data()}, pid);
            !launched) {
            return launched; // the program did not run, and its child is already reaped
        }

        // Nobody else reaps our children, so the pid still names this child, if only as a zombie.
        UniqueFd pidfd(::pidfd_open(pid, 0));
        UniqueFd cancel(pidfd ? ::eventfd(0, EFD_CLOEXEC) : -1);
        if (!pidfd || !cancel) {
            const SetupError error = SetupError::system(!pidfd ? "pidfd_open" : "eventfd", errno);
            ::kill(pid, SIGKILL); // it cannot be watched, so it must not run unwatched
            reap(pid);
            if (onExit) {
                onExit();
            }
            return error;
        }
        child = std::make_unique<PidfdChild>(pid, std::move(pidfd), std::move(cancel), std::move(onExit));
        return {};
    }

private:
    UniqueFd executable_;
    std::vector<std::string> environment_;
    std::vector<char*> environmentPointers_; // envp: into environment_, ending with nullptr
};

} // namespace

std::shared_ptr<ChildLauncher> pidfdChildLauncher(UniqueFd executable, std::vector<std::string> environment)
{
    return std::make_shared<PidfdChildLauncher>(std::move(executable), std::move(environment));
}

} // namespace quorvantile::setup
