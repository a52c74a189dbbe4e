#pragma once

#include "setup/SensorCompanionSetupState.h"
#include "setup/qt/SensorCompanionWindowController.h"
#include "setup/qt/SetupInstance.h"

#include <QObject>

#include <functional>
#include <memory>

namespace quorvantile::setup {

// The setup application's delegate: decides at launch whether to show the window, restores the
// service, quits by itself after an on-demand run nobody looked at, and stops the server before
// the application ends.
class SensorCompanionApplication final : public QObject {
    Q_OBJECT

public:
    // `exit` ends the event loop once the server has stopped.
    SensorCompanionApplication(std::shared_ptr<SensorCompanionSetupState> state, bool onDemand,
        std::function<void()> exit, QObject* parent = nullptr);
    ~SensorCompanionApplication() override;
    SensorCompanionApplication(const SensorCompanionApplication&) = delete;
    SensorCompanionApplication& operator=(const SensorCompanionApplication&) = delete;

    // Once the event loop runs. A login-item launch, like an on-demand one, shows no window.
    void applicationDidFinishLaunching(bool launchedAsLoginItem);
    // The application became active, or was launched again while running: show the window.
    void applicationDidBecomeActive();
    // Another launch while this one runs. False (refused) while quitting: that launch then waits
    // for this one to end and takes its place, instead of being told it was heard and left without.
    [[nodiscard]] bool handleRequest(SetupRequest request);
    // Every way of ending (Quit, a quit signal, the end of the session) comes here. Stops the
    // server first; if that fails the application stays and shows its window.
    void applicationShouldTerminate();

    [[nodiscard]] SensorCompanionWindowController* controller() const { return controller_.get(); }
    [[nodiscard]] bool manuallyOpened() const { return manuallyOpened_; }
    [[nodiscard]] bool terminating() const { return terminating_; }

protected:
    // Catches the application's quit events (the session manager's among them).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend struct SensorCompanionApplicationTasks;

    void showSettings();
    void requestQuit();
    // Quits by itself, unless by the time the event loop gets to it the run has gone on after all
    // (the window was opened, a server is starting or runs again).
    void requestQuitIfOnDemandIsOver();
    void finishTermination(bool stopped);
    void onDemandServerEnded();
    // Brings the service back (the persistent server when enabled, else an on-demand one when
    // asked for), then sees whether an on-demand run is over.
    void restoreService(bool onDemand);

    std::shared_ptr<SensorCompanionSetupState> state_;
    bool onDemand_;
    std::unique_ptr<SensorCompanionWindowController> controller_;
    bool manuallyOpened_ = false;
    bool terminating_ = false;
    // A launch on demand came while a server ran or was starting: if that server was in fact
    // ending, the parent gets a new one instead of the end of the run.
    bool serverAskedAgain_ = false;
    int restoring_ = 0; // restores begun and not yet finished
    std::function<void()> exit_;
};

} // namespace quorvantile::setup
