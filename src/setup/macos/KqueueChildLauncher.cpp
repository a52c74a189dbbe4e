// The server child: started with posix_spawn, its end seen through a kqueue EVFILT_PROC/NOTE_EXIT
// event on a watcher thread that reaps it. Signals go by process id, and only while the child is
// known to be alive and unreaped: reaping and signalling take the same lock, so an id that was freed
// and given to another process is never signalled.
#include "setup/macos/KqueueChildLauncher.h"

#include "common/UniqueFd.h"

#include <crt_externs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/event.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

namespace quorvantile::setup {
namespace {

constexpr std::uintptr_t kCancelEvent = 1; // the user event that stops the watcher

void reap(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
}

class KqueueChild final : public WatchedChild {
public:
    KqueueChild(pid_t pid, UniqueFd queue, bool exitedAlready, std::function<void()> onExit)
        : pid_(pid), queue_(std::move(queue)),
          watcher_([this, exitedAlready, report = std::move(onExit)] { watch(exitedAlready, report); })
    {
    }
    ~KqueueChild() override
    {
        struct kevent cancel { };
        EV_SET(&cancel, kCancelEvent, EVFILT_USER, 0, NOTE_TRIGGER, 0, nullptr);
        (void)::kevent(queue_.get(), &cancel, 1, nullptr, 0, nullptr); // wakes a watcher whose child runs
        watcher_.join();
    }
    KqueueChild(const KqueueChild&) = delete;
    KqueueChild& operator=(const KqueueChild&) = delete;

    [[nodiscard]] bool running() const override
    {
        const std::lock_guard lock(mutex_);
        return !ended_;
    }

    [[nodiscard]] bool signal(int number) override
    {
        const std::lock_guard lock(mutex_);
        return ended_ || ::kill(pid_, number) == 0 || errno == ESRCH;
    }

private:
    // Waits for the child's end (then reaps it and reports it) or for the controller to go away.
    void watch(bool exitedAlready, const std::function<void()>& onExit)
    {
        bool exited = exitedAlready;
        while (!exited) {
            struct kevent events[2];
            const int count = ::kevent(queue_.get(), nullptr, 0, events, 2, nullptr);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                return; // cannot happen with a valid queue; nothing is left to watch with
            }
            bool cancelled = false;
            for (int index = 0; index < count; ++index) {
                exited = exited || events[index].filter == EVFILT_PROC;
                cancelled = cancelled || events[index].filter == EVFILT_USER;
            }
            if (!exited && cancelled) {
                return; // an ended child is reported even when the controller is going away
            }
        }
        {
            // The id stays this child's until it is reaped, and nothing signals it from here on.
            const std::lock_guard lock(mutex_);
            reap(pid_);
            ended_ = true;
        }
        if (onExit) {
            onExit();
        }
    }

    const pid_t pid_;
    UniqueFd queue_;
    mutable std::mutex mutex_;
    bool ended_ = false;
    std::thread watcher_; // last: it starts once the fields it uses are ready
};

class KqueueChildLauncher final : public ChildLauncher {
public:
    [[nodiscard]] Outcome launch(const std::string& executable, const std::string& argument, int input, int output,
        std::function<void()> onExit, std::unique_ptr<WatchedChild>& child) override
    {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        // Every other descriptor is closed in the child, whatever its flags; standard error stays the
        // parent's. The child starts with default signal handling and no blocked signals.
        posix_spawn_file_actions_addinherit_np(&actions, STDERR_FILENO);
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes,
            static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_CLOEXEC_DEFAULT));

        std::string program = executable;
        std::string only = argument;
        char* arguments[] = {program.data(), only.data(), nullptr};
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, *_NSGetEnviron());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (spawned != 0) {
            return SetupError::system("posix_spawn", spawned);
        }

        // Nobody else reaps our children, so the id still names this child, if only as a zombie.
        UniqueFd queue(::kqueue());
        struct kevent changes[2];
        EV_SET(&changes[0], kCancelEvent, EVFILT_USER, EV_ADD | EV_CLEAR, 0, 0, nullptr);
        EV_SET(&changes[1], static_cast<std::uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
        const int registered = queue ? ::kevent(queue.get(), changes, 2, nullptr, 0, nullptr) : -1;
        // A child that has already ended cannot be registered for its end (ESRCH): it is reported at once.
        const bool exitedAlready = registered < 0 && errno == ESRCH;
        if (!queue || (registered < 0 && !exitedAlready)) {
            const SetupError error = SetupError::system(!queue ? "kqueue" : "kevent", errno);
            ::kill(pid, SIGKILL); // it cannot be watched, so it must not run unwatched
            reap(pid);
            if (onExit) {
                onExit();
            }
            return error;
        }
        child = std::make_unique<KqueueChild>(pid, std::move(queue), exitedAlready, std::move(onExit));
        return {};
    }
};

} // namespace

std::shared_ptr<ChildLauncher> kqueueChildLauncher() { return std::make_shared<KqueueChildLauncher>(); }

} // namespace quorvantile::setup
