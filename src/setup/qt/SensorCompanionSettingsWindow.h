#pragma once

#include <QWidget>

namespace quorvantile::setup {

// The one setup window: titled, closable and resizable, never minimised. Escape closes it as the
// close button does; closing only hides it, so showing it again reuses it.
class SensorCompanionSettingsWindow final : public QWidget {
    Q_OBJECT

public:
    explicit SensorCompanionSettingsWindow(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace quorvantile::setup
