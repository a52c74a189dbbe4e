#pragma once

#include "setup/SetupError.h"
#include "setup/Task.h"

#include <functional>

namespace quorvantile::setup {

// Starts and stops the sensor server as a child process of the setup application.
class SensorCompanionProcessControlling {
public:
    virtual ~SensorCompanionProcessControlling() = default;

    // Launches the child (persistent: the managed server, else the on-demand one) and finishes once
    // it is ready. `onExit` is called once when that child ends, from any thread, possibly before
    // the start has finished; also for a child that the start itself stopped after a failure.
    virtual Task<Outcome> start(bool persistent, std::function<void()> onExit) = 0;

    // Ends the child if there is one and forgets it; without a child it succeeds at once.
    virtual Task<Outcome> stop() = 0;
};

} // namespace quorvantile::setup
