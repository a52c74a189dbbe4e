#pragma once

#include "common/Clock.h"
#include "common/UniqueFd.h"
#include "setup/ChildLauncher.h"
#include "setup/SensorCompanionProcessControlling.h"
#include "setup/SerialExecutor.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace quorvantile::setup {

// The waits of the server child's start and stop.
struct ChildTiming {
    double readySeconds = 3.0; // for the ready line
    double graceSeconds = 2.0; // after closing the control pipe
    double terminateSeconds = 1.0; // after SIGTERM
    double killSeconds = 1.0; // after SIGKILL
    std::chrono::milliseconds checkInterval {20}; // between two looks at a child that is stopping
};

// Runs the sensor server as a child through the platform's launcher: `executable` with the one
// argument "--managed-server" or "--on-demand-server", standard input a control pipe kept open while
// the child is wanted, the first line of standard output its ready line. Stopping closes the control
// pipe, then waits 2 s, sends SIGTERM, waits 1 s, sends SIGKILL and waits 1 s more.
//
// All work runs in order on the controller's own thread. Destroying the controller closes the
// control pipe (a managed server then ends by itself) without waiting for the child.
class SensorCompanionProcess final : public SensorCompanionProcessControlling {
public:
    using Sleep = std::function<void(std::chrono::milliseconds)>;

    // `clock` and `sleep` time the waits (by default the uptime clock and a real sleep).
    SensorCompanionProcess(std::string executable, std::shared_ptr<ChildLauncher> launcher,
        const Clock& clock = systemClock(), Sleep sleep = {}, ChildTiming timing = {});
    ~SensorCompanionProcess() override;
    SensorCompanionProcess(const SensorCompanionProcess&) = delete;
    SensorCompanionProcess& operator=(const SensorCompanionProcess&) = delete;

    Task<Outcome> start(bool persistent, std::function<void()> onExit) override;
    Task<Outcome> stop() override;

private:
    Outcome startNow(bool persistent, std::function<void()> onExit);
    Outcome launch(bool persistent, std::function<void()> onExit);
    Outcome awaitReadyLine();
    Outcome stopNow();
    void waitWhileRunning(double seconds);

    std::string executable_;
    std::shared_ptr<ChildLauncher> launcher_;
    const Clock& clock_;
    Sleep sleep_;
    ChildTiming timing_;
    std::unique_ptr<WatchedChild> child_;
    UniqueFd control_; // write end; the child's standard input
    UniqueFd output_; // read end of the child's standard output, until its ready line is read
    SerialExecutor worker_; // last: it is joined before the fields it works on go away
};

} // namespace quorvantile::setup
