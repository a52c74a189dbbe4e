#include "setup/SensorCompanionProcess.h"

#include "common/Pipe.h"
#include "setup/ReadyLine.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <thread>

namespace quorvantile::setup {
namespace {

constexpr std::size_t kReadChunkBytes = 512;

// Closes a descriptor we own and reports the platform's error, if any. The descriptor is gone
// either way.
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

} // namespace

SensorCompanionProcess::SensorCompanionProcess(std::string executable, std::shared_ptr<ChildLauncher> launcher,
    const Clock& clock, Sleep sleep, ChildTiming timing)
    : executable_(std::move(executable)), launcher_(std::move(launcher)), clock_(clock), sleep_(std::move(sleep)),
      timing_(timing)
{
    if (!sleep_) {
        sleep_ = [](std::chrono::milliseconds interval) { std::this_thread::sleep_for(interval); };
    }
}

SensorCompanionProcess::~SensorCompanionProcess() = default;

Task<Outcome> SensorCompanionProcess::start(bool persistent, std::function<void()> onExit)
{
    co_await resumeOn(worker_);
    co_return startNow(persistent, std::move(onExit));
}

Task<Outcome> SensorCompanionProcess::stop()
{
    co_await resumeOn(worker_);
    co_return stopNow();
}

Outcome SensorCompanionProcess::startNow(bool persistent, std::function<void()> onExit)
{
    if (child_) {
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

Outcome SensorCompanionProcess::launch(bool persistent, std::function<void()> onExit)
{
    Pipe control;
    Pipe output;
    const char* call = "pipe";
    if (!makePipe(control, /*nonBlocking=*/false, &call) || !makePipe(output, /*nonBlocking=*/false, &call)) {
        return SetupError::system(call, errno);
    }
    const std::string argument = persistent ? "--managed-server" : "--on-demand-server";
    std::unique_ptr<WatchedChild> child;
    if (Outcome launched =
            launcher_->launch(executable_, argument, control.read.get(), output.write.get(), std::move(onExit), child);
        !launched) {
        return launched;
    }
    child_ = std::move(child);
    control_ = std::move(control.write);
    output_ = std::move(output.read);
    if (Outcome closed = closeChecked(control.read); !closed) {
        return closed;
    }
    return closeChecked(output.write);
}

Outcome SensorCompanionProcess::awaitReadyLine()
{
    const double deadline = clock_.uptime() + timing_.readySeconds;
    std::string buffer;
    while (buffer.find('\n') == std::string::npos && buffer.size() <= kMaximumReadyBufferBytes) {
        const double remaining = deadline - clock_.uptime();
        if (!(remaining > 0)) {
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
    if (!child_->running()) {
        return SensorCompanionProcessError::notReady;
    }
    // Nothing after the ready line is read; the control pipe stays open.
    return closeChecked(output_);
}

void SensorCompanionProcess::waitWhileRunning(double seconds)
{
    const double start = clock_.uptime();
    while (child_->running() && clock_.uptime() < start + seconds) {
        sleep_(timing_.checkInterval);
    }
}

Outcome SensorCompanionProcess::stopNow()
{
    if (!child_) {
        return {};
    }
    if (Outcome closed = closeChecked(control_); !closed) {
        return closed; // the child is left running and recorded
    }
    waitWhileRunning(timing_.graceSeconds);
    if (child_->running()) {
        (void)child_->signal(SIGTERM);
        waitWhileRunning(timing_.terminateSeconds);
    }
    if (child_->running()) {
        if (!child_->signal(SIGKILL)) {
            return SensorCompanionProcessError::couldNotStop;
        }
        waitWhileRunning(timing_.killSeconds);
    }
    if (child_->running()) {
        return SensorCompanionProcessError::couldNotStop;
    }
    if (Outcome closed = closeChecked(output_); !closed) {
        return closed;
    }
    child_.reset(); // stops watching; the end has been seen and is reported to onExit
    return {};
}

} // namespace quorvantile::setup
