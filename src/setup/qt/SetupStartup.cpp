// The entry of the settings application module, loaded by the executable for its two setup
// command lines only, so that the server modes never map a Qt library.
#include "companion/GroupContainer.h"
#include "setup/SensorCompanionSetupState.h"
#include "setup/SerialExecutor.h"
#include "setup/SystemSetup.h"
#include "setup/qt/QtMainExecutor.h"
#include "setup/qt/QuitSignals.h"
#include "setup/qt/SensorCompanionApplication.h"
#include "setup/qt/SetupInstance.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLocale>
#include <QTranslator>
#include <QUrl>

#include <cstdio>

namespace quorvantile::setup {
namespace {

void fail(const QString& message)
{
    std::fprintf(stderr, "quorvantile-sensors: %s\n", message.toLocal8Bit().constData());
}

int runSetup(bool onDemand)
{
    const auto launch = observeLoginItemLaunch();
    const Environment environment = readEnvironment();
    auto platform = systemSetup(environment, [](const std::filesystem::path& folder) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
    });
    if (!platform) {
        fail(QStringLiteral("cannot find this program's own executable"));
        return 1;
    }

    // Qt keeps references to these for the life of the application object.
    static int argc = 1;
    static char name[] = "quorvantile-sensors";
    static char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quorvantile-sensors"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quorvantile Sensors"));
    QApplication::setOrganizationDomain(QStringLiteral("zembo.com"));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.zembo.quorvantile.sensors"));
    // Closing the window leaves the application and its server running.
    QApplication::setQuitOnLastWindowClosed(false);

    QTranslator translator;
    if (translator.load(
            QLocale(), QStringLiteral("quorvantile-setup"), QStringLiteral("_"), QStringLiteral(":/i18n"))) {
        QCoreApplication::installTranslator(&translator);
    }

    const auto container = groupContainer(environment);
    if (!container) {
        fail(QStringLiteral("no folder for the application group can be found or made"));
        return 1;
    }
    SetupInstance instance(QString::fromStdString(*container));
    QString error;
    // A launch at login is passed on as what it is, so that nothing opens at login.
    const SetupRequest request = onDemand ? SetupRequest::onDemand
        : launch->launchedAsLoginItem()   ? SetupRequest::loginItem
                                          : SetupRequest::show;
    switch (instance.claim(request, error)) {
    case SetupInstance::Claim::forwarded:
        return 0;
    case SetupInstance::Claim::failed:
        fail(error);
        return 1;
    case SetupInstance::Claim::primary:
        break;
    }

    QuitSignals quitSignals;
    // Writes to disk run on a thread of their own, in the order they were made, so that a slow disk
    // never freezes the window.
    const auto state = SensorCompanionSetupState::create(std::move(platform->defaults), std::move(platform->process),
        std::move(platform->login), std::make_shared<QtMainExecutor>(), std::make_shared<SerialExecutor>());
    SensorCompanionApplication delegate(state, onDemand, [] { QCoreApplication::exit(0); });
    application.installEventFilter(&delegate);
    QObject::connect(
        &quitSignals, &QuitSignals::received, &delegate, &SensorCompanionApplication::applicationShouldTerminate);
    instance.setHandler([&delegate](SetupRequest later) { return delegate.handleRequest(later); });
    QObject::connect(
        &application, &QGuiApplication::applicationStateChanged, &delegate, [&delegate](Qt::ApplicationState now) {
            if (now == Qt::ApplicationActive) {
                delegate.applicationDidBecomeActive();
            }
        });
    QMetaObject::invokeMethod(
        &delegate, [&delegate, &launch] { delegate.applicationDidFinishLaunching(launch->launchedAsLoginItem()); },
        Qt::QueuedConnection);
    return QApplication::exec();
}

} // namespace
} // namespace quorvantile::setup

extern "C" __attribute__((visibility("default"))) int quorvantile_setup_main(int onDemand)
{
    return quorvantile::setup::runSetup(onDemand != 0);
}
