#pragma once

#include "setup/SensorCompanionSetupState.h"

#include <QScrollArea>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;
class QWidget;

namespace quorvantile::setup {

// The whole content of the setup window. It shows the setup state and sends every change through
// it; it keeps nothing of its own between redraws.
class SensorCompanionSettingsView final : public QScrollArea {
    Q_OBJECT

public:
    SensorCompanionSettingsView(
        std::shared_ptr<SensorCompanionSetupState> state, std::function<void()> quit, QWidget* parent = nullptr);
    ~SensorCompanionSettingsView() override;
    SensorCompanionSettingsView(const SensorCompanionSettingsView&) = delete;
    SensorCompanionSettingsView& operator=(const SensorCompanionSettingsView&) = delete;

private:
    void build();
    // The state tells its observers before a change: redraw once the change has been made.
    void scheduleRefresh();
    void refresh();

    std::shared_ptr<SensorCompanionSetupState> state_;
    std::function<void()> quit_;
    SensorCompanionSetupState::ObserverId observer_ = 0;
    bool refreshScheduled_ = false;

    QCheckBox* service_ = nullptr;
    QCheckBox* login_ = nullptr;
    QPushButton* loginSettings_ = nullptr;
    QLabel* loginError_ = nullptr;
    QLabel* storeError_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* retry_ = nullptr;
};

} // namespace quorvantile::setup
