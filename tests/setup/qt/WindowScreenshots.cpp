// Renders the settings window in each status as PNG files, over substitutes of both controllers.
// Run by scripts/screenshots inside a virtual X server: window-screenshots <output folder>
#include "WindowFakes.h"

#include "setup/qt/SensorCompanionWindowController.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QScreen>
#include <QTest>

#include <cstdio>
#include <functional>

namespace quorvantile::setup {
namespace {

using testing::Harness;

bool render(const testing::Status& status, const QDir& folder)
{
    Harness setup;
    SensorCompanionWindowController controller(setup.create(), [] {});
    controller.showWindow();
    if (!QTest::qWaitForWindowExposed(controller.window())) {
        return false;
    }
    status.act(setup);
    QTest::qWait(200); // let the X server finish drawing
    const QPixmap picture = controller.window()->screen()->grabWindow(controller.window()->winId());
    const bool saved = picture.save(folder.filePath(QString::fromLatin1(status.name) + ".png"), "PNG");
    if (setup.process->pending.waiting()) {
        setup.process->pending.finish();
        testing::settle();
    }
    return saved;
}

} // namespace
} // namespace quorvantile::setup

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: window-screenshots <output folder>\n", stderr);
        return 2;
    }
    QApplication application(argc, argv);
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    for (const auto& status : quorvantile::setup::testing::statuses()) {
        if (!quorvantile::setup::render(status, folder)) {
            std::fprintf(stderr, "window-screenshots: could not render %s\n", status.name);
            return 1;
        }
        std::printf("%s\n", qPrintable(folder.filePath(QString::fromLatin1(status.name) + ".png")));
    }
    return 0;
}
