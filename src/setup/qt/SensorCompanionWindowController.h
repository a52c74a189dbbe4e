#pragma once

#include "setup/SensorCompanionSetupState.h"
#include "setup/qt/SensorCompanionSettingsWindow.h"

#include <QObject>

#include <functional>
#include <memory>

class QScreen;

namespace quorvantile::setup {

// Owns the one setup window and keeps it inside the usable part of its screen: after every move,
// resize, change of screen and change of any screen's geometry.
class SensorCompanionWindowController final : public QObject {
    Q_OBJECT

public:
    inline static constexpr QSize kContentSize {420, 290};

    SensorCompanionWindowController(std::shared_ptr<SensorCompanionSetupState> state, std::function<void()> quit);
    ~SensorCompanionWindowController() override;
    SensorCompanionWindowController(const SensorCompanionWindowController&) = delete;
    SensorCompanionWindowController& operator=(const SensorCompanionWindowController&) = delete;

    [[nodiscard]] SensorCompanionSettingsWindow* window() const { return window_.get(); }
    // Shows the window (again, where it was) and brings it to the front.
    void showWindow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void constrain();
    void constrainLater();
    void watchScreen(QScreen* screen);

    std::unique_ptr<SensorCompanionSettingsWindow> window_;
    // Re-entrancy guard: the changes constrain() makes come back to it as move and resize events.
    bool fitting_ = false;
};

} // namespace quorvantile::setup
