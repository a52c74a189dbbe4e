#include "setup/qt/SensorCompanionSettingsWindow.h"

#include <QKeyEvent>

namespace quorvantile::setup {

SensorCompanionSettingsWindow::SensorCompanionSettingsWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
}

void SensorCompanionSettingsWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace quorvantile::setup
