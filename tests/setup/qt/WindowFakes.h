#pragma once

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
        const auto main = std::make_shared<QtMainExecutor>();
        state = SensorCompanionSetupState::create(defaults, process, login, main, main);
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
        defaults->values[std::string(kSensorsEnabledKey)] = enabled;
        application = std::make_unique<SensorCompanionApplication>(create(), onDemand, [this] { ++exits; });
        application->applicationDidFinishLaunching(loginItem);
        settle();
    }
    [[nodiscard]] bool windowShown() const
    {
        return application->controller() != nullptr && application->controller()->window()->isVisible();
    }
    void exitChild() const
    {
        process->exits.back()();
        settle();
    }
};

// The state in each status, reached after the view exists, and what the view then shows (see `shown`
// in SettingsWindowTests); scripts/screenshots draws each of them.
struct Status {
    const char* name;
    std::function<void(Harness&)> act;
    std::string shown;
};
inline const std::vector<Status>& statuses()
{
    static const std::vector<Status> table {
        {"off", [](Harness&) {}, "[ ] | [ ]"},
        {"starting",
            [](Harness& setup) {
                setup.process->holdStarts = true;
                setup.run(setup.state->setEnabled(true));
            },
            "[ ] (fixed) | Starting | [ ]"},
        {"live", [](Harness& setup) { setup.run(setup.state->setEnabled(true)); }, "[x] | Live | [ ]"},
        {"live-on-demand", [](Harness& setup) { setup.run(setup.state->restore(true)); }, "[ ] | Live | [ ]"},
        {"unavailable",
            [](Harness& setup) {
                setup.process->startResults.emplace_back(SensorCompanionProcessError::notReady);
                setup.run(setup.state->setEnabled(true));
            },
            "[ ] | Unavailable | sensors.retry | [ ]"},
        {"ended-by-itself",
            [](Harness& setup) {
                setup.run(setup.state->setEnabled(true));
                setup.exitChild();
            },
            "[x] | Unavailable | sensors.retry | [ ]"},
        {"login-approval",
            [](Harness& setup) {
                setup.login->currentStatus = LoginItemStatus::requiresApproval;
                setup.state->refreshLoginStatus();
            },
            "[ ] | [x] | sensors.loginSettings"},
        {"login-enabled", [](Harness& setup) { setup.run(setup.state->setLogin(true)); }, "[ ] | [x]"},
        {"login-failed",
            [](Harness& setup) {
                setup.login->results = {SetupError::system("unlink", ENOENT)};
                setup.run(setup.state->setLogin(true));
            },
            "[ ] | [ ] | Login setting: No such file or directory"},
        {"store-failed",
            [](Harness& setup) {
                setup.defaults->results = {SetupError::system("write", ENOSPC)};
                setup.run(setup.state->setEnabled(true));
            },
            "[x] | Live | [ ] | Sensors setting not saved: No space left on device"},
    };
    return table;
}

} // namespace quorvantile::setup::testing
