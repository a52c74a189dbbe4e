#include "setup/qt/SensorCompanionApplication.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

#include <utility>

namespace quorvantile::setup {

// The tasks hold the delegate weakly: they outlive nothing they do not own.
struct SensorCompanionApplicationTasks {
    static Task<void> restore(std::shared_ptr<SensorCompanionSetupState> state,
        QPointer<SensorCompanionApplication> application, bool onDemand)
    {
        co_await state->restore(onDemand);
        if (application) {
            --application->restoring_;
            application->requestQuitIfOnDemandIsOver();
        }
    }

    static Task<void> terminate(
        std::shared_ptr<SensorCompanionSetupState> state, QPointer<SensorCompanionApplication> application)
    {
        const Outcome stopped = co_await state->shutdown();
        if (application) {
            application->finishTermination(stopped.ok());
        }
    }
};

SensorCompanionApplication::SensorCompanionApplication(
    std::shared_ptr<SensorCompanionSetupState> state, bool onDemand, std::function<void()> exit, QObject* parent)
    : QObject(parent), state_(std::move(state)), onDemand_(onDemand), exit_(std::move(exit))
{
}

SensorCompanionApplication::~SensorCompanionApplication() { state_->setOnDemandFinished({}); }

void SensorCompanionApplication::applicationDidFinishLaunching(bool launchedAsLoginItem)
{
    if (!onDemand_ && !launchedAsLoginItem) {
        showSettings();
    }
    state_->setOnDemandFinished([application = QPointer(this)] {
        if (application) {
            application->onDemandServerEnded();
        }
    });
    restoreService(onDemand_);
}

void SensorCompanionApplication::applicationDidBecomeActive() { showSettings(); }

bool SensorCompanionApplication::handleRequest(SetupRequest request)
{
    if (terminating_) {
        return false;
    }
    switch (request) {
    case SetupRequest::show:
        showSettings();
        break;
    case SetupRequest::loginItem:
        // What a launch at login does, without the window: bring the enabled service back.
        if (state_->enabled() && !state_->running() && !state_->busy()) {
            restoreService(false);
        }
        break;
    case SetupRequest::onDemand:
        // The parent asks for a server again: bring one back unless one runs or is being started.
        if (!state_->running() && !state_->busy()) {
            serverAskedAgain_ = false;
            restoreService(true);
        } else {
            serverAskedAgain_ = true;
        }
        break;
    }
    return true;
}

void SensorCompanionApplication::onDemandServerEnded()
{
    if (std::exchange(serverAskedAgain_, false) && !terminating_) {
        restoreService(true);
        return;
    }
    requestQuitIfOnDemandIsOver();
}

void SensorCompanionApplication::restoreService(bool onDemand)
{
    ++restoring_;
    startDetached(SensorCompanionApplicationTasks::restore(state_, this, onDemand));
}

void SensorCompanionApplication::requestQuitIfOnDemandIsOver()
{
    // Judged when the event loop gets to it: a request or the window may have come in between.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (terminating_ || restoring_ != 0 || state_->running() || state_->busy()) {
                return;
            }
            // A launch told "ok" while a start was under way, whose server then ended before the
            // start was through: that start failed, but the request it was taken for still stands.
            if (std::exchange(serverAskedAgain_, false)) {
                restoreService(true);
                return;
            }
            // The on-demand server failed to start or has ended, and nobody opened the window.
            if (onDemand_ && !manuallyOpened_) {
                applicationShouldTerminate();
            }
        },
        Qt::QueuedConnection);
}

void SensorCompanionApplication::showSettings()
{
    if (terminating_) {
        return;
    }
    manuallyOpened_ = true;
    state_->refreshLoginStatus();
    if (!controller_) {
        controller_ = std::make_unique<SensorCompanionWindowController>(state_, [application = QPointer(this)] {
            if (application) {
                application->requestQuit();
            }
        });
    }
    controller_->showWindow();
}

void SensorCompanionApplication::requestQuit()
{
    // From the event loop, so that a control's click handler has finished first.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!terminating_) {
                applicationShouldTerminate();
            }
        },
        Qt::QueuedConnection);
}

void SensorCompanionApplication::applicationShouldTerminate()
{
    if (terminating_) {
        return; // the earlier request answers
    }
    terminating_ = true;
    startDetached(SensorCompanionApplicationTasks::terminate(state_, this));
}

void SensorCompanionApplication::finishTermination(bool stopped)
{
    if (stopped) {
        exit_();
        return;
    }
    // The server did not stop: stay, and show the window so that the user sees it.
    terminating_ = false;
    showSettings();
}

bool SensorCompanionApplication::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        applicationShouldTerminate();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace quorvantile::setup
