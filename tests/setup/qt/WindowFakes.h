#pragma once

// The window tests and the screenshot program drive the state over the setup core's substitutes.
#include "../SetupTestSupport.h"

#include "setup/SensorCompanionSetupState.h"
#include "setup/qt/QtMainExecutor.h"
#include "setup/qt/SensorCompanionApplication.h"

#include <QCoreApplication>

namespace quorvantile::setup::testing {

// Runs everything the main executor and the widgets have queued.
inline void settle()
{
    for (int round = 0; round < 20; ++round) {
        QCoreApplication::processEvents();
    }
}

// The state over substitutes of both controllers, on the Qt main executor.
struct Harness {
    std::shared_ptr<FakeProcess> process = std::make_shared<FakeProcess>();
    std::shared_ptr<FakeLogin> login = std::make_shared<FakeLogin>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<SensorCompanionSetupState> state;
    std::unique_ptr<SensorCompanionApplication> application;
    int exits = 0; // of the application, or quits of the view

    std::shared_ptr<SensorCompanionSetupState> create()
    {
        state = SensorCompanionSetupState::create(defaults, process, login, std::make_shared<QtMainExecutor>());
        return state;
    }
    void run(Task<void> operation)
    {
        startDetached(std::move(operation));
        settle();
    }
    // The application launched as `onDemand` says, at login when `loginItem`.
    void launch(bool onDemand, bool loginItem, bool enabled)
    {
        defaults->setValue(kSensorsEnabledKey, enabled);
        application = std::make_unique<SensorCompanionApplication>(create(), onDemand, [this] { ++exits; });
        application->applicationDidFinishLaunching(loginItem);
        settle();
    }
    [[nodiscard]] bool windowShown() const
    {
        return application->controller() != nullptr && application->controller()->window()->isVisible();
    }
    // The latest child ends by itself.
    void exitChild() const
    {
        process->exits.back()();
        settle();
    }
};

} // namespace quorvantile::setup::testing
