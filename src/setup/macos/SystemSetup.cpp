#include "setup/SystemSetup.h"

#include "common/ExecutablePath.h"
#include "setup/SensorCompanionProcess.h"
#include "setup/macos/KqueueChildLauncher.h"
#include "setup/macos/SystemSensorCompanionLogin.h"
#include "setup/macos/UserDefaultsStore.h"

namespace quorvantile::setup {

// The environment and the folder opener serve Linux folders; the platform keeps its defaults and
// login items itself and opens its own settings.
std::optional<SystemSetup> systemSetup(const Environment& /*environment*/, const FolderOpener& /*openFolder*/)
{
    const auto executable = ownExecutable();
    if (!executable) {
        return std::nullopt;
    }
    return SystemSetup {userDefaultsStore(),
        std::make_shared<SensorCompanionProcess>(executable->string(), kqueueChildLauncher()), appServiceLogin()};
}

} // namespace quorvantile::setup
