#include "setup/linux/SystemSensorCompanionProcess.h"

#include "common/Clock.h"
#include "setup/ReadyLine.h"
#include "setup/linux/ChildLaunch.h"

#include <fcntl.h>
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
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace quorvantile::setup {
namespace {

constexpr double kReadyTimeoutSeconds = 3.0;
constexpr double kGraceSeconds = 2.0;
constexpr double kTerminateSeconds = 1.0;
constexpr double kKillSeconds = 1.0;
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr std::size_t kReadChunkBytes = 512;

double now() { return systemClock().uptime(); }

// Closes a descriptor we own and reports the platform's error, if any. The descriptor is gone
// either way (Linux frees it even when close fails).
Outcome closeChecked(UniqueFd& descriptor)
{
    if (!descriptor) {
        return {};
    }
    if (::close(descriptor.release()) != 0 && errno != EINTR) {
        return SetupError::system("close", errno);
    }
    return {};
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Outcome makePipe(Pipe& pipe)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return SetupError::system("pipe2", errno);
    }
    pipe.read.reset(ends[0]);
    pipe.write.reset(ends[1]);
    return {};
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
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (onExit) {
        onExit();
    }
}

} // namespace

// One launched child: a pidfd for the running checks and signals, and its watcher thread.
class SystemSensorCompanionProcess::Child {
public:
    // The watcher uses the descriptors owned here: it is joined before they are closed.
    Child(pid_t pid, UniqueFd pidfd, UniqueFd cancel, std::function<void()> onExit)
        : pidfd_(std::move(pidfd)), cancel_(std::move(cancel)),
          watcher_([pid, processFd = pidfd_.get(), cancelFd = cancel_.get(), report = std::move(onExit)] {
              watch(processFd, cancelFd, pid, report);
          })
    {
    }
    ~Child()
    {
        const std::uint64_t one = 1;
        (void)!::write(cancel_.get(), &one, sizeof one); // wakes a watcher whose child still runs
        watcher_.join();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    [[nodiscard]] bool running() const
    {
        // A pidfd turns readable when the process has ended, reaped or not.
        pollfd event {pidfd_.get(), POLLIN, 0};
        return ::poll(&event, 1, 0) == 0;
    }
    // True when delivered, or when the child is already gone.
    [[nodiscard]] bool signal(int number) const
    {
        return ::pidfd_send_signal(pidfd_.get(), number, nullptr, 0) == 0 || errno == ESRCH;
    }

private:
    UniqueFd pidfd_;
    UniqueFd cancel_;
    std::thread watcher_;
};

SystemSensorCompanionProcess::SystemSensorCompanionProcess(
    UniqueFd executable, std::string name, std::vector<std::string> environment)
    : executable_(std::move(executable)), name_(std::move(name)), environment_(std::move(environment))
{
}

SystemSensorCompanionProcess::~SystemSensorCompanionProcess() = default;

Task<Outcome> SystemSensorCompanionProcess::start(bool persistent, std::function<void()> onExit)
{
    co_await resumeOn(worker_);
    co_return startNow(persistent, std::move(onExit));
}

Task<Outcome> SystemSensorCompanionProcess::stop()
{
    co_await resumeOn(worker_);
    co_return stopNow();
}

Outcome SystemSensorCompanionProcess::startNow(bool persistent, std::function<void()> onExit)
{
    if (process_) {
        return SensorCompanionProcessError::unavailable;
    }
    Outcome outcome = launch(persistent, std::move(onExit));
    if (outcome) {
        outcome = awaitReadyLine();
    }
    if (outcome) {
        return {};
    }
    if (Outcome stopped = stopNow(); !stopped) {
        return stopped; // the stop's error replaces the start's
    }
    return outcome;
}

Outcome SystemSensorCompanionProcess::launch(bool persistent, std::function<void()> onExit)
{
    Pipe control;
    Pipe output;
    if (Outcome made = makePipe(control); !made) {
        return made;
    }
    if (Outcome made = makePipe(output); !made) {
        return made;
    }

    std::string argument = persistent ? "--managed-server" : "--on-demand-server";
    char* arguments[] = {name_.data(), argument.data(), nullptr};
    std::vector<char*> environment;
    environment.reserve(environment_.size() + 1);
    for (auto& entry : environment_) {
        environment.push_back(entry.data());
    }
    environment.push_back(nullptr);
    pid_t pid = -1;
    if (Outcome launched = launchChild(
            {executable_.get(), control.read.get(), output.write.get(), arguments, environment.data()}, pid);
        !launched) {
        return launched;
    }

    // Nobody else reaps our children, so the pid still names this child, if only as a zombie.
    UniqueFd pidfd(::pidfd_open(pid, 0));
    UniqueFd cancel(pidfd ? ::eventfd(0, EFD_CLOEXEC) : -1);
    if (!pidfd || !cancel) {
        const SetupError error = SetupError::system(!pidfd ? "pidfd_open" : "eventfd", errno);
        ::kill(pid, SIGKILL); // it cannot be watched, so it must not run unwatched
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
        if (onExit) {
            onExit();
        }
        return error;
    }
    process_ = std::make_unique<Child>(pid, std::move(pidfd), std::move(cancel), std::move(onExit));
    control_ = std::move(control.write);
    output_ = std::move(output.read);
    if (Outcome closed = closeChecked(control.read); !closed) {
        return closed;
    }
    return closeChecked(output.write);
}

Outcome SystemSensorCompanionProcess::awaitReadyLine()
{
    const double deadline = now() + kReadyTimeoutSeconds;
    std::string buffer;
    while (buffer.find('\n') == std::string::npos && buffer.size() <= kMaximumReadyBufferBytes) {
        const double remaining = deadline - now();
        if (remaining <= 0) {
            return SensorCompanionProcessError::notReady;
        }
        pollfd event {output_.get(), POLLIN, 0};
        const int ready = ::poll(&event, 1, static_cast<int>(std::ceil(remaining * 1000.0)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (event.revents & POLLIN) == 0) {
            return SensorCompanionProcessError::notReady; // poll error, time-out, or only a hang-up
        }
        char chunk[kReadChunkBytes];
        const ssize_t count = ::read(output_.get(), chunk, sizeof chunk);
        if (count < 1) {
            return SensorCompanionProcessError::notReady;
        }
        buffer.append(chunk, static_cast<std::size_t>(count));
    }
    if (Outcome parsed = parseReadyLine(buffer); !parsed) {
        return parsed;
    }
    if (!process_->running()) {
        return SensorCompanionProcessError::notReady;
    }
    // Nothing after the ready line is read; the control pipe stays open.
    return closeChecked(output_);
}

Outcome SystemSensorCompanionProcess::stopNow()
{
    if (!process_) {
        return {};
    }
    if (Outcome closed = closeChecked(control_); !closed) {
        return closed; // the child is left running and recorded
    }
    const auto waitWhileRunning = [this](double seconds) {
        const double start = now();
        while (process_->running() && now() < start + seconds) {
            std::this_thread::sleep_for(kPollInterval);
        }
    };
    waitWhileRunning(kGraceSeconds);
    if (process_->running()) {
        (void)process_->signal(SIGTERM);
        waitWhileRunning(kTerminateSeconds);
    }
    if (process_->running()) {
        if (!process_->signal(SIGKILL)) {
            return SensorCompanionProcessError::couldNotStop;
        }
        waitWhileRunning(kKillSeconds);
    }
    if (process_->running()) {
        return SensorCompanionProcessError::couldNotStop;
    }
    if (Outcome closed = closeChecked(output_); !closed) {
        return closed;
    }
    process_.reset(); // joins the watcher, which has seen the end and called onExit
    return {};
}

} // namespace quorvantile::setup
