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
// entry exists, names this executable and is not hidden; not found when the executable is unknown.
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

// The desktop entry that starts `executable` as a login item.
[[nodiscard]] std::string autostartEntry(const std::string& executable);

// The program an autostart entry starts (its Exec line, past `env` and its assignments), unless the
// entry is hidden or has no such line.
[[nodiscard]] std::optional<std::string> autostartProgram(std::string_view entry);

} // namespace quorvantile::setup
