#pragma once

#include "setup/SensorCompanionLoginControlling.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvantile::setup {

// The login item as an XDG autostart entry, `<autostart folder>/com.zembo.quorvantile.sensors.desktop`,
// that starts this executable with QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM=1. It is enabled when the
// entry, read as a launcher reads it, is exactly the one written for this executable; not found
// when the executable is unknown. Its changes are file writes that wait for the disk: the setup
// state makes them away from the main thread.
class SystemSensorCompanionLogin final : public SensorCompanionLoginControlling {
public:
    using FolderOpener = std::function<void(const std::filesystem::path&)>;

    // `openFolder` shows a folder to the user with the desktop's own handler.
    SystemSensorCompanionLogin(std::filesystem::path autostartFolder, std::optional<std::filesystem::path> executable,
        FolderOpener openFolder);

    [[nodiscard]] LoginItemStatus status() const override;
    Task<Outcome> setEnabled(bool enabled) override;
    void openSettings() override;

    [[nodiscard]] std::filesystem::path entryPath() const;

private:
    std::filesystem::path autostartFolder_;
    std::optional<std::filesystem::path> executable_;
    FolderOpener openFolder_;
};

// The controller over <configuration home>/autostart for this process's own executable.
[[nodiscard]] std::shared_ptr<SystemSensorCompanionLogin> systemSensorCompanionLogin(
    const std::optional<std::filesystem::path>& configurationHome, SystemSensorCompanionLogin::FolderOpener openFolder);

// The desktop entry that starts `executable` as a login item; absent for a path that no desktop
// entry can hold (not UTF-8, or with a control character other than tab, line feed and return).
[[nodiscard]] std::optional<std::string> autostartEntry(const std::string& executable);

} // namespace quorvantile::setup
