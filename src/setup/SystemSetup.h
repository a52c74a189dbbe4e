#pragma once

#include "common/Environment.h"
#include "setup/DefaultsStore.h"
#include "setup/SensorCompanionLoginControlling.h"
#include "setup/SensorCompanionProcessControlling.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

// The platform's collaborators of the setup state, made once by the settings application's start-up.
namespace quorvantile::setup {

// Shows a folder with the desktop's own handler, where the platform's login items are files in one.
using FolderOpener = std::function<void(const std::filesystem::path&)>;

struct SystemSetup {
    std::shared_ptr<DefaultsStore> defaults;
    std::shared_ptr<SensorCompanionProcessControlling> process;
    std::shared_ptr<SensorCompanionLoginControlling> login;
};

// The user's defaults, the controller of a server child started from this program's own executable,
// and the login item. Absent when this program's own executable cannot be found.
[[nodiscard]] std::optional<SystemSetup> systemSetup(const Environment& environment, const FolderOpener& openFolder);

// Whether the platform started this application as a login item. Made before the application
// object, asked once the application has finished launching.
class LoginItemLaunch {
public:
    virtual ~LoginItemLaunch() = default;
    [[nodiscard]] virtual bool launchedAsLoginItem() const = 0;
};

[[nodiscard]] std::unique_ptr<LoginItemLaunch> observeLoginItemLaunch();

} // namespace quorvantile::setup
