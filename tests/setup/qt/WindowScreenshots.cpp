// Renders the settings window in each status as PNG files, over substitutes of both controllers.
// Run by scripts/screenshots inside a virtual X server: window-screenshots <output folder>
#include "WindowFakes.h"

#include "setup/SensorCompanionSetupState.h"
#include "setup/qt/QtMainExecutor.h"
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

using testing::FakeLogin;
using testing::FakeProcess;
using testing::MemoryDefaults;
using testing::settle;

struct Status {
    const char* file;
    std::function<void(FakeProcess&, FakeLogin&)> arrange;
    std::function<void(SensorCompanionSetupState&)> act;
};

bool render(const Status& status, const QDir& folder)
{
    auto process = std::make_shared<FakeProcess>();
    auto login = std::make_shared<FakeLogin>();
    status.arrange(*process, *login);
    const auto state = SensorCompanionSetupState::create(
        std::make_shared<MemoryDefaults>(), process, login, std::make_shared<QtMainExecutor>());
    SensorCompanionWindowController controller(state, [] {});
    controller.showWindow();
    if (!QTest::qWaitForWindowExposed(controller.window())) {
        return false;
    }
    status.act(*state);
    settle();
    QTest::qWait(200); // let the X server finish drawing
    const QPixmap picture = controller.window()->screen()->grabWindow(controller.window()->winId());
    const bool saved = picture.save(folder.filePath(QString::fromLatin1(status.file)), "PNG");
    if (process->pending.waiting()) {
        process->pending.finish();
        settle();
    }
    return saved;
}

} // namespace
} // namespace quorvantile::setup

int main(int argc, char** argv)
{
    using namespace quorvantile::setup;
    if (argc != 2) {
        std::fputs("usage: window-screenshots <output folder>\n", stderr);
        return 2;
    }
    QApplication application(argc, argv);
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const auto none = [](testing::FakeProcess&, testing::FakeLogin&) {};
    const auto enable = [](SensorCompanionSetupState& state) { startDetached(state.setEnabled(true)); };
    const Status statuses[] = {
        {"off.png", none, [](SensorCompanionSetupState&) {}},
        {"starting.png", [](testing::FakeProcess& process, testing::FakeLogin&) { process.holdStarts = true; }, enable},
        {"live.png", none, enable},
        {"unavailable.png",
            [](testing::FakeProcess& process, testing::FakeLogin&) {
                process.startResults.emplace_back(SensorCompanionProcessError::notReady);
            },
            enable},
        {"login-approval.png",
            [](testing::FakeProcess&, testing::FakeLogin& login) {
                login.currentStatus = LoginItemStatus::requiresApproval;
            },
            enable},
    };
    for (const auto& status : statuses) {
        if (!render(status, folder)) {
            std::fprintf(stderr, "window-screenshots: could not render %s\n", status.file);
            return 1;
        }
        std::printf("%s\n", qPrintable(folder.filePath(QString::fromLatin1(status.file))));
    }
    return 0;
}
