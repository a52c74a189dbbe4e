#include "setup/qt/SensorCompanionWindowController.h"

#include "setup/qt/SensorCompanionSettingsView.h"
#include "setup/qt/WindowPlacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

namespace quorvantile::setup {

SensorCompanionWindowController::SensorCompanionWindowController(
    std::shared_ptr<SensorCompanionSetupState> state, std::function<void()> quit)
    : window_(std::make_unique<SensorCompanionSettingsWindow>())
{
    // The product name, the same in every language.
    window_->setWindowTitle(QStringLiteral("Quorvantile Sensors"));
    window_->resize(kContentSize);
    window_->setMinimumSize(kMinimumContentSize);
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new SensorCompanionSettingsView(std::move(state), std::move(quit), window_.get()));

    window_->installEventFilter(this);
    // The native window exists from here on, so its screen can be followed before it is shown.
    window_->winId();
    if (QWindow* handle = window_->windowHandle()) {
        connect(handle, &QWindow::screenChanged, this, [this](QScreen*) { constrain(); });
    }
    for (QScreen* screen : QGuiApplication::screens()) {
        watchScreen(screen);
    }
    connect(qApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
        watchScreen(screen);
        constrainLater();
    });
    connect(qApp, &QGuiApplication::screenRemoved, this, &SensorCompanionWindowController::constrainLater);
    connect(qApp, &QGuiApplication::primaryScreenChanged, this, &SensorCompanionWindowController::constrainLater);

    if (const QScreen* screen = window_->screen() != nullptr ? window_->screen() : QGuiApplication::primaryScreen()) {
        QRect frame = window_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }
    constrain();
}

SensorCompanionWindowController::~SensorCompanionWindowController()
{
    // The window goes first; its last events must not reach a half-destroyed controller.
    window_->removeEventFilter(this);
    window_.reset();
}

void SensorCompanionWindowController::showWindow()
{
    window_->show();
    window_->raise();
    window_->activateWindow();
}

bool SensorCompanionWindowController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_.get() && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
        constrain();
    }
    return QObject::eventFilter(watched, event);
}

void SensorCompanionWindowController::watchScreen(QScreen* screen)
{
    connect(screen, &QScreen::availableGeometryChanged, this, &SensorCompanionWindowController::constrainLater);
    connect(screen, &QScreen::geometryChanged, this, &SensorCompanionWindowController::constrainLater);
}

void SensorCompanionWindowController::constrainLater()
{
    // After the change has settled; dropped if the controller is gone by then.
    QMetaObject::invokeMethod(this, &SensorCompanionWindowController::constrain, Qt::QueuedConnection);
}

void SensorCompanionWindowController::constrain()
{
    if (fitting_ || !window_) {
        return;
    }
    const QScreen* screen = window_->screen() != nullptr ? window_->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    fitting_ = true;
    const QRect frame = window_->frameGeometry();
    const QSize content = window_->size();
    const WindowPlacement placement = setup::constrain(frame, content, screen->availableGeometry());
    window_->setMinimumSize(placement.minimumContentSize);
    if (placement.frame != frame) {
        window_->resize(placement.frame.size() - (frame.size() - content));
        window_->move(placement.frame.topLeft());
    }
    fitting_ = false;
}

} // namespace quorvantile::setup
