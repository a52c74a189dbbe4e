#pragma once

#include "common/UniqueFd.h"
#include "setup/SensorCompanionProcessControlling.h"
#include "setup/SerialExecutor.h"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorvantile::setup {

// Runs the sensor server as a child: the program behind `executable` with the one argument
// "--managed-server" or "--on-demand-server", standard input a control pipe kept open while the
// child is wanted, the first line of standard output its ready line, and nothing else of this
// process's descriptors but standard error. Stopping closes the control pipe, then waits 2 s,
// sends SIGTERM, waits 1 s, sends SIGKILL and waits 1 s more.
//
// All work runs in order on the controller's own thread; a watcher thread per child sees its end
// through a pidfd, reaps it and calls `onExit`. Destroying the controller closes the control pipe
// (a managed server then ends by itself) without waiting for the child.
class SystemSensorCompanionProcess final : public SensorCompanionProcessControlling {
public:
    // `executable` comes from openExecutable, opened once, so that every start runs that very file
    // even after its path was replaced; `name` is the child's argv[0]; `environment` its
    // environment ("NAME=value" entries).
    SystemSensorCompanionProcess(UniqueFd executable, std::string name, std::vector<std::string> environment);
    ~SystemSensorCompanionProcess() override;
    SystemSensorCompanionProcess(const SystemSensorCompanionProcess&) = delete;
    SystemSensorCompanionProcess& operator=(const SystemSensorCompanionProcess&) = delete;

    Task<Outcome> start(bool persistent, std::function<void()> onExit) override;
    Task<Outcome> stop() override;

    class Child;

private:
    Outcome startNow(bool persistent, std::function<void()> onExit);
    Outcome launch(bool persistent, std::function<void()> onExit);
    Outcome awaitReadyLine();
    Outcome stopNow();

    UniqueFd executable_;
    std::string name_;
    std::vector<std::string> environment_;
    std::unique_ptr<Child> process_;
    UniqueFd control_; // write end; the child's standard input
    UniqueFd output_; // read end of the child's standard output, until its ready line is read
    SerialExecutor worker_; // last: it is joined before the fields it works on go away
};

} // namespace quorvantile::setup
