// The entry of the settings application module, loaded by the executable for its two setup
// command lines only, so that the server modes never map a Qt library.
#include "companion/GroupContainer.h"
#include "setup/SensorCompanionSetupState.h"
#include "setup/SerialExecutor.h"
#include "setup/linux/ChildLaunch.h"
#include "setup/linux/JsonDefaultsStore.h"
#include "setup/linux/SystemSensorCompanionLogin.h"
#include "setup/linux/SystemSensorCompanionProcess.h"
#include "setup/linux/XdgFolders.h"
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
#include <cstdlib>
#include <cstring>

namespace quorvantile::setup {
namespace {

// Set by the autostart entry: the counterpart of being launched as a login item.
constexpr const char* kLoginItemVariable = "QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM";

void fail(const QString& message)
{
    std::fprintf(stderr, "quorvantile-sensors: %s\n", message.toLocal8Bit().constData());
}

int runSetup(bool onDemand)
{
    // Opened once: every server child runs this very program, even after an upgrade replaced the
    // file at its path (the new one arrives with the next start of the application).
    UniqueFd program = openExecutable("/proc/self/exe");
    const auto executable = applicationExecutable();
    if (!program || !executable) {
        fail(QStringLiteral("cannot find this program's own executable"));
        return 1;
    }
    // Read once and removed, so that nothing this application starts inherits it.
    const char* loginItemValue = std::getenv(kLoginItemVariable);
    const bool launchedAsLoginItem = loginItemValue != nullptr && std::strcmp(loginItemValue, "1") == 0;
    unsetenv(kLoginItemVariable);

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

    const Environment environment = readEnvironment();
    const auto container = groupContainer(environment);
    if (!container) {
        fail(QStringLiteral("no folder for the application group can be found or made"));
        return 1;
    }
    SetupInstance instance(QString::fromStdString(*container));
    QString error;
    // A launch at login is passed on as what it is, so that nothing opens at login.
    const SetupRequest request = onDemand ? SetupRequest::onDemand
        : launchedAsLoginItem             ? SetupRequest::loginItem
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
    const auto configuration = configurationHome(environment);
    const auto state = SensorCompanionSetupState::create(systemDefaultsStore(configuration),
        std::make_shared<SystemSensorCompanionProcess>(std::move(program), executable->string(), currentEnvironment()),
        systemSensorCompanionLogin(configuration,
            [](const std::filesystem::path& folder) {
                QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
            }),
        std::make_shared<QtMainExecutor>(), std::make_shared<SerialExecutor>());
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
        &delegate, [&delegate, launchedAsLoginItem] { delegate.applicationDidFinishLaunching(launchedAsLoginItem); },
        Qt::QueuedConnection);
    return QApplication::exec();
}

} // namespace
} // namespace quorvantile::setup

extern "C" __attribute__((visibility("default"))) int quorvantile_setup_main(int onDemand)
{
    return quorvantile::setup::runSetup(onDemand != 0);
}
