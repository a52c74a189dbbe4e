#include "setup/SystemSetup.h"

#include "setup/SensorCompanionProcess.h"
#include "setup/linux/ChildLaunch.h"
#include "setup/linux/JsonDefaultsStore.h"
#include "setup/linux/PidfdChildLauncher.h"
#include "setup/linux/SystemSensorCompanionLogin.h"
#include "setup/linux/XdgFolders.h"

#include <cstdlib>
#include <cstring>

namespace quorvantile::setup {
namespace {

// Set by the autostart entry: the counterpart of being launched as a login item.
constexpr const char* kLoginItemVariable = "QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM";

class EnvironmentLoginItemLaunch final : public LoginItemLaunch {
public:
    EnvironmentLoginItemLaunch()
    {
        // Read once and removed, so that nothing this application starts inherits it.
        const char* value = std::getenv(kLoginItemVariable);
        launchedAsLoginItem_ = value != nullptr && std::strcmp(value, "1") == 0;
        unsetenv(kLoginItemVariable);
    }
    [[nodiscard]] bool launchedAsLoginItem() const override { return launchedAsLoginItem_; }

private:
    bool launchedAsLoginItem_ = false;
};

} // namespace

std::optional<SystemSetup> systemSetup(const Environment& environment, const FolderOpener& openFolder)
{
    // Opened once: every server child runs this very program, even after an upgrade replaced the
    // file at its path (the new one arrives with the next start of the application).
    UniqueFd program = openExecutable("/proc/self/exe");
    const auto executable = applicationExecutable();
    if (!program || !executable) {
        return std::nullopt;
    }
    const auto configuration = configurationHome(environment);
    return SystemSetup {systemDefaultsStore(configuration),
        std::make_shared<SensorCompanionProcess>(
            executable->string(), pidfdChildLauncher(std::move(program), currentEnvironment())),
        systemSensorCompanionLogin(configuration, openFolder)};
}

std::unique_ptr<LoginItemLaunch> observeLoginItemLaunch() { return std::make_unique<EnvironmentLoginItemLaunch>(); }

} // namespace quorvantile::setup
