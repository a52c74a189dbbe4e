#include "setup/linux/SystemSensorCompanionLogin.h"

#include "common/FileText.h"
#include "setup/linux/DesktopEntryText.h"
#include "setup/linux/XdgFolders.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace quorvantile::setup {
namespace {

constexpr std::size_t kMaximumEntryBytes = 64 * 1024;
constexpr std::string_view kEntryGroup = "Desktop Entry";
constexpr std::string_view kLoginItemVariable = "QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM=1";

} // namespace

std::optional<std::string> autostartEntry(const std::string& executable)
{
    std::vector<std::string> command {"env", std::string(kLoginItemVariable), executable};
    if (executable.find('=') != std::string::npos) {
        // env would take such a path for one more assignment: a shell runs it instead, as its $0.
        command = {"env", std::string(kLoginItemVariable), "/bin/sh", "-c", "exec \"$0\"", executable};
    }
    const auto exec = escapeDesktopEntryValue(execValue(command));
    if (!exec) {
        return std::nullopt;
    }
    return "[" + std::string(kEntryGroup) + "]\n" +
        "Type=Application\n"
        "Name=Quorvantile Sensors\n"
        "Comment=Keeps the sensor companion running\n" +
        "Exec=" + *exec + "\n" +
        "Terminal=false\n"
        "NoDisplay=true\n"
        "X-GNOME-Autostart-enabled=true\n";
}

SystemSensorCompanionLogin::SystemSensorCompanionLogin(
    std::filesystem::path autostartFolder, std::optional<std::filesystem::path> executable, FolderOpener openFolder)
    : autostartFolder_(std::move(autostartFolder)), executable_(std::move(executable)),
      openFolder_(std::move(openFolder))
{
}

std::filesystem::path SystemSensorCompanionLogin::entryPath() const
{
    return autostartFolder_ / (std::string(kApplicationIdentifier) + ".desktop");
}

LoginItemStatus SystemSensorCompanionLogin::status() const
{
    if (!executable_) {
        return LoginItemStatus::notFound;
    }
    // The whole entry as a launcher reads it: one key lost, added or changed (Hidden=true, another
    // program, no Type) and it is not this application's login item.
    const auto text = readWholeFile(AT_FDCWD, entryPath().string(), kMaximumEntryBytes);
    const auto expected = autostartEntry(executable_->string());
    if (!text || !expected) {
        return LoginItemStatus::notRegistered;
    }
    const auto found = parseDesktopEntryGroups(*text);
    return found && found == parseDesktopEntryGroups(*expected) ? LoginItemStatus::enabled
                                                                : LoginItemStatus::notRegistered;
}

Task<Outcome> SystemSensorCompanionLogin::setEnabled(bool enabled)
{
    if (!enabled) {
        // An entry that is not there is an error, as unregistering an unregistered item is.
        if (::unlink(entryPath().c_str()) != 0) {
            co_return SetupError::system("unlink", errno);
        }
        co_return Outcome();
    }
    if (!executable_) {
        co_return SetupError::system("readlink", ENOENT);
    }
    const auto entry = autostartEntry(executable_->string());
    if (!entry) {
        co_return SetupError::system("open", EILSEQ); // a path no desktop entry can name
    }
    co_return writeFileAtomically(entryPath(), *entry);
}

void SystemSensorCompanionLogin::openSettings()
{
    // The folder may not exist before the first registration; it is shown all the same.
    (void)makeFolders(autostartFolder_);
    if (openFolder_) {
        openFolder_(autostartFolder_);
    }
}

std::shared_ptr<SystemSensorCompanionLogin> systemSensorCompanionLogin(
    const std::optional<std::filesystem::path>& configurationHome, SystemSensorCompanionLogin::FolderOpener openFolder)
{
    return std::make_shared<SystemSensorCompanionLogin>(
        configurationHome ? *configurationHome / "autostart" : std::filesystem::path(),
        configurationHome ? applicationExecutable() : std::nullopt, std::move(openFolder));
}

} // namespace quorvantile::setup
