// The window, the view and the delegate over substitutes of both controllers, on the offscreen
// platform. The state's work runs on the Qt main executor, so each step ends with settle().
#include "WindowFakes.h"

#include "setup/qt/QuitSignals.h"
#include "setup/qt/SensorCompanionSettingsView.h"
#include "setup/qt/SensorCompanionWindowController.h"
#include "setup/qt/SetupInstance.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <future>

namespace quorvantile::setup {
namespace {

using testing::Harness;
using testing::settle;
using Calls = std::vector<std::string>;

template<typename Widget> Widget* find(const QWidget& root, const char* name)
{
    auto* widget = root.findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

TEST(SettingsWindow, ShapeTextsAndAFramePushedOffScreenComingBack)
{
    Harness setup;
    SensorCompanionWindowController controller(setup.create(), [] {});
    QWidget* window = controller.window();
    EXPECT_EQ(window->size(), QSize(420, 290));
    EXPECT_EQ(window->minimumSize(), QSize(320, 240));
    EXPECT_NE(window->maximumSize(), window->minimumSize()); // resizable
    EXPECT_EQ(window->windowTitle(), "Quorvantile Sensors");
    const auto buttons = Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint;
    EXPECT_EQ(window->windowFlags() & buttons, Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    const auto* service = find<QCheckBox>(*window, "sensors.enabled");
    EXPECT_EQ(service->text(), "Quorvantile Sensors");
    EXPECT_EQ(service->font().weight(), QFont::DemiBold);
    auto* note = find<QLabel>(*window, "sensors.note");
    EXPECT_TRUE(note->wordWrap());
    auto labels = find<QWidget>(*window, "sensors.provides")->findChildren<QLabel*>();
    QStringList texts;
    for (const auto* label : labels << note) {
        EXPECT_EQ(label->font().pixelSize(), 10);
        EXPECT_NEAR(label->palette().color(QPalette::WindowText).alphaF(), 0.75, 0.01);
        texts << label->text();
    }
    texts.removeLast(); // the note's own text
    EXPECT_EQ(texts, (QStringList {"Thermal details", "Footprint", QString::fromUtf8("\u00B7"), "Disk activity"}));
    // The two error lines look alike.
    const auto* loginError = find<QLabel>(*window, "sensors.loginError");
    const auto* storeError = find<QLabel>(*window, "sensors.storeError");
    for (const auto* label : {loginError, storeError}) {
        EXPECT_EQ(label->palette().color(QPalette::WindowText).alphaF(), 1.0);
        EXPECT_EQ(label->font().pixelSize(), 10);
        EXPECT_TRUE(label->wordWrap());
    }

    controller.showWindow();
    const QRect area = window->screen()->availableGeometry().adjusted(8, 8, -8, -8);
    window->move(area.right() - 100, area.bottom() - 50);
    settle();
    EXPECT_TRUE(area.contains(window->frameGeometry())) << window->frameGeometry().x();
}

// The view as a person reads it: each control shown, in order, with "[x]" or "[ ]" for a mark (and
// " (fixed)" when it cannot be changed), a label's text, or a button's name.
std::string shown(const QWidget& view)
{
    QStringList parts;
    for (const char* name : {"sensors.enabled", "sensors.status", "sensors.retry", "sensors.login",
             "sensors.loginSettings", "sensors.loginError", "sensors.storeError"}) {
        const auto* widget = find<QWidget>(view, name);
        const auto* box = qobject_cast<const QCheckBox*>(widget);
        const auto* label = qobject_cast<const QLabel*>(widget);
        if (!widget->isVisibleTo(&view)) {
            continue;
        }
        parts << (box != nullptr   ? QString(box->isChecked() ? "[x]" : "[ ]") + (box->isEnabled() ? "" : " (fixed)")
                : label != nullptr ? label->text()
                                   : QString::fromLatin1(name));
    }
    return parts.join(" | ").toStdString();
}

TEST(SettingsView, RowsFollowTheState)
{
    for (const auto& [name, act, expected] : testing::statuses()) {
        SCOPED_TRACE(name);
        Harness setup;
        SensorCompanionSettingsView view(setup.create(), [] {});
        act(setup);
        settle();
        EXPECT_EQ(shown(view), expected);
        if (setup.process->pending.waiting()) {
            setup.process->pending.finish(); // let the held start finish so that nothing leaks
            settle();
        }
    }
}

TEST(SettingsView, ControlsCallTheirOperations)
{
    Harness setup;
    SensorCompanionSettingsView view(setup.create(), [&setup] { ++setup.exits; });
    const auto click = [&view](const char* name) {
        find<QAbstractButton>(view, name)->click();
        settle();
    };

    // A click marks the box at once; the failed start clears it again.
    setup.process->startResults.emplace_back(SensorCompanionProcessError::notReady);
    click("sensors.enabled");
    EXPECT_EQ(setup.process->calls, (Calls {"stop", "start persistent"}));
    EXPECT_FALSE(find<QCheckBox>(view, "sensors.enabled")->isChecked());

    // Retry after a failed start starts again; after a failed stop it stops again.
    click("sensors.retry");
    EXPECT_EQ(setup.process->calls, (Calls {"stop", "start persistent", "stop", "start persistent"}));
    setup.process->stopResults.emplace_back(SensorCompanionProcessError::couldNotStop);
    click("sensors.enabled");
    ASSERT_TRUE(setup.state->sensorFailed());
    click("sensors.retry");
    EXPECT_EQ(setup.process->calls, (Calls {"stop", "start persistent", "stop", "start persistent", "stop", "stop"}));
    EXPECT_FALSE(setup.state->running());

    click("sensors.login");
    EXPECT_EQ(setup.login->requests, std::vector<bool> {true});

    setup.login->currentStatus = LoginItemStatus::requiresApproval;
    setup.state->refreshLoginStatus();
    settle();
    click("sensors.loginSettings");
    EXPECT_EQ(setup.login->settingsOpened, 1);
    click("sensors.quit");
    EXPECT_EQ(setup.exits, 1);
}

// What a launch starts and shows, and whether the run ends with its server: an on-demand run does
// unless the window was opened; a persistent server ending is a failure to show, not the end of a run.
TEST(SensorCompanionApplication, LaunchDecisionAndTheEndOfAnOnDemandRun)
{
    // Launched on demand, at login, enabled, window asked for later, start results; then the window
    // shown, the controller's calls and the application's exits once the server has ended.
    using Case = std::tuple<const char*, bool, bool, bool, bool, std::deque<Outcome>, bool, Calls, int>;
    const Calls persistent = {"stop", "start persistent"}, onDemandCalls = {"stop", "start on demand"};
    const Case cases[] = {
        {"by hand", false, false, false, false, {}, true, {}, 0},
        {"by hand, enabled", false, false, true, false, {}, true, persistent, 0},
        {"at login, enabled", false, true, true, false, {}, false, persistent, 0},
        {"at login, disabled", false, true, false, false, {}, false, {}, 0},
        {"on demand, disabled", true, false, false, false, {}, false, onDemandCalls, 1},
        {"on demand, enabled", true, false, true, false, {}, false, persistent, 0},
        {"on demand, window opened", true, false, false, true, {}, false, onDemandCalls, 0},
        {"on demand, cannot start", true, false, false, false, {SensorCompanionProcessError::notReady}, false,
            {"stop", "start on demand", "stop"}, 1}, // the run ends the orderly way
    };
    for (const auto& [name, onDemand, loginItem, enabled, showLater, startResults, window, calls, exits] : cases) {
        SCOPED_TRACE(name);
        Harness setup;
        setup.process->startResults = startResults;
        setup.launch(onDemand, loginItem, enabled);
        EXPECT_EQ(setup.windowShown(), window);
        EXPECT_EQ(setup.process->calls, calls);
        EXPECT_EQ(setup.exits, startResults.empty() ? 0 : 1);
        if (showLater) {
            EXPECT_TRUE(setup.application->handleRequest(SetupRequest::show));
        }
        if (!calls.empty() && startResults.empty()) {
            setup.exitChild();
        }
        EXPECT_EQ(setup.exits, exits);
        EXPECT_EQ(setup.application->terminating(), exits == 1);
    }
}

TEST(SensorCompanionApplication, QuitStopsTheServerAndIsCancelledWhenTheStopFails)
{
    Harness setup;
    setup.launch(false, false, /*enabled=*/true);
    setup.application->controller()->window()->close();
    setup.process->stopResults.emplace_back(SensorCompanionProcessError::couldNotStop);
    // The application's quit event (the session's end arrives the same way) goes the orderly way.
    qApp->installEventFilter(setup.application.get());
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(qApp, &quit);
    settle();
    EXPECT_EQ(setup.process->calls, (Calls {"stop", "start persistent", "stop"}));
    EXPECT_EQ(setup.exits, 0);
    EXPECT_FALSE(setup.application->terminating());
    EXPECT_TRUE(setup.windowShown());

    find<QPushButton>(*setup.application->controller()->window(), "sensors.quit")->click();
    settle();
    EXPECT_EQ(setup.exits, 1);
    EXPECT_FALSE(setup.state->running());
    qApp->removeEventFilter(setup.application.get());
}

TEST(QuitSignals, TermAndIntArriveOnTheMainThread)
{
    QuitSignals quitSignals;
    ASSERT_TRUE(quitSignals.installed());
    QSignalSpy received(&quitSignals, &QuitSignals::received);
    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, 2000));
    EXPECT_EQ(received.at(0).at(0).toInt(), SIGTERM);
}

// Later launches while this one runs: a launch at login shows nothing, and while quitting every
// request is refused, so that its launch takes over once this one has ended.
TEST(SensorCompanionApplication, RequestsOfLaterLaunches)
{
    Harness setup;
    setup.launch(false, /*loginItem=*/true, /*enabled=*/true);
    setup.exitChild(); // the persistent server ended by itself
    ASSERT_TRUE(setup.state->sensorFailed());
    EXPECT_TRUE(setup.application->handleRequest(SetupRequest::loginItem));
    settle();
    EXPECT_FALSE(setup.windowShown());
    EXPECT_EQ(setup.process->calls, (Calls {"stop", "start persistent", "stop", "start persistent"}))
        << "the enabled service is brought back, as at login";
    EXPECT_TRUE(setup.state->running());

    EXPECT_TRUE(setup.application->handleRequest(SetupRequest::show));
    EXPECT_TRUE(setup.windowShown());
    setup.application->applicationShouldTerminate();
    for (const auto request : {SetupRequest::show, SetupRequest::onDemand, SetupRequest::loginItem}) {
        EXPECT_FALSE(setup.application->handleRequest(request));
    }
    settle();
    EXPECT_EQ(setup.exits, 1);
}

// The parent launches again just as an idle on-demand server ends: whichever the application hears
// of first, the run goes on with a new server instead of ending.
TEST(SensorCompanionApplication, ARelaunchAsTheOnDemandServerEndsBringsAServerBack)
{
    const Calls twoServers = {"stop", "start on demand", "stop", "start on demand"};
    for (const bool requestFirst : {true, false}) {
        SCOPED_TRACE(requestFirst ? "the request, then the end" : "the end, then the request");
        Harness setup;
        setup.launch(/*onDemand=*/true, false, false);
        ASSERT_TRUE(setup.state->running());
        if (requestFirst) {
            EXPECT_TRUE(setup.application->handleRequest(SetupRequest::onDemand));
            setup.exitChild();
        } else {
            setup.process->exits.back()();
            QCoreApplication::processEvents(); // the end is handled and the quit queued, not yet run
            EXPECT_TRUE(setup.application->handleRequest(SetupRequest::onDemand));
            settle();
        }
        EXPECT_EQ(setup.process->calls, twoServers);
        EXPECT_TRUE(setup.state->running());
        EXPECT_EQ(setup.exits, 0);

        setup.exitChild(); // the new server's own end, with nobody asking: the run is over
        EXPECT_EQ(setup.exits, 1);
        EXPECT_EQ(setup.process->calls.size(), twoServers.size() + 1);
    }
}

// The relaunch comes while the on-demand server is still starting, and that server ends before its
// start is through: the start fails, and the run must not end on the request it has taken.
TEST(SensorCompanionApplication, ARelaunchDuringAStartThatFailsBringsAServerBack)
{
    using Case = std::pair<const char*, std::function<void(Harness&)>>;
    const Case cases[] = {
        {"the server ends before the start reports it",
            [](Harness& setup) {
                setup.process->exits.back()();
                settle();
                setup.process->pending.finish();
            }},
        {"the start finds no server ready",
            [](Harness& setup) { setup.process->pending.finish(SensorCompanionProcessError::notReady); }},
    };
    for (const auto& [name, failStart] : cases) {
        SCOPED_TRACE(name);
        Harness setup;
        setup.process->holdStarts = true;
        setup.launch(/*onDemand=*/true, false, false);
        ASSERT_TRUE(setup.process->pending.waiting());
        EXPECT_TRUE(setup.application->handleRequest(SetupRequest::onDemand));
        failStart(setup);
        settle();
        EXPECT_EQ(setup.exits, 0) << "the run ended after the relaunch was told it was heard";
        EXPECT_EQ(setup.process->calls, (Calls {"stop", "start on demand", "stop", "start on demand"}));
        ASSERT_TRUE(setup.process->pending.waiting());
        setup.process->pending.finish();
        settle();
        EXPECT_TRUE(setup.state->running());

        setup.exitChild(); // the new server's own end, with nobody asking: the run is over
        EXPECT_EQ(setup.exits, 1);
    }
}

TEST(SetupInstance, ALaterLaunchHandsItsRequestToTheRunningOne)
{
    QTemporaryDir container;
    SetupInstance first(container.path());
    QString error;
    ASSERT_EQ(first.claim(SetupRequest::show, error), SetupInstance::Claim::primary) << error.toStdString();
    std::vector<SetupRequest> requests;
    first.setHandler([&](SetupRequest request) {
        requests.push_back(request);
        return true;
    });

    // The later launch blocks while it waits for the answer, so it runs beside this event loop.
    auto later = std::async(std::launch::async, [&container] {
        SetupInstance second(container.path());
        QString ignored;
        return second.claim(SetupRequest::loginItem, ignored);
    });
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return later.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 5000));
    EXPECT_EQ(later.get(), SetupInstance::Claim::forwarded);
    EXPECT_EQ(requests, std::vector {SetupRequest::loginItem});
}

TEST(SetupInstance, ALaterLaunchRefusedWhileQuittingTakesOverOnceTheRunningOneHasEnded)
{
    QTemporaryDir container;
    auto first = std::make_unique<SetupInstance>(container.path());
    QString error;
    ASSERT_EQ(first->claim(SetupRequest::show, error), SetupInstance::Claim::primary) << error.toStdString();
    int refused = 0;
    first->setHandler([&](SetupRequest) {
        ++refused;
        return false;
    });

    // A thread of Qt's own, since the later launch listens once it has taken over.
    std::optional<SetupInstance::Claim> claimed;
    std::unique_ptr<QThread> later(QThread::create([&container, &claimed] {
        SetupInstance second(container.path());
        QString ignored;
        claimed = second.claim(SetupRequest::onDemand, ignored);
    }));
    later->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return refused >= 2; }, 5000)) << "it asks again while it waits";
    EXPECT_FALSE(later->isFinished());
    first.reset(); // the running one has quit
    ASSERT_TRUE(later->wait(5000));
    EXPECT_EQ(claimed, SetupInstance::Claim::primary);
}

} // namespace
} // namespace quorvantile::setup
