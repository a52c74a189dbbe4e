#include "setup/linux/SystemSensorCompanionLogin.h"

#include "common/FileText.h"
#include "setup/linux/XdgFolders.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace quorvantile::setup {
namespace {

constexpr std::size_t kMaximumEntryBytes = 64 * 1024;
constexpr std::string_view kEntryGroup = "[Desktop Entry]";
constexpr std::string_view kLoginItemVariable = "QUORVANTILE_LAUNCHED_AS_LOGIN_ITEM=1";

// One argument of an Exec line: quoted when it holds a character the line reserves, with the
// characters that stay special inside quotes escaped, and % written twice.
std::string quoteArgument(std::string_view argument)
{
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string quoted;
    const bool quote = argument.empty() || argument.find_first_of(reserved) != std::string_view::npos;
    if (quote) {
        quoted += '"';
    }
    for (const char character : argument) {
        if (quote && (character == '"' || character == '`' || character == '$' || character == '\\')) {
            quoted += '\\';
        }
        quoted += character;
        if (character == '%') {
            quoted += '%';
        }
    }
    if (quote) {
        quoted += '"';
    }
    return quoted;
}

// The escapes of a desktop entry's string values.
std::string escapeValue(std::string_view value)
{
    std::string escaped;
    for (const char character : value) {
        switch (character) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += character;
        }
    }
    return escaped;
}

std::string unescapeValue(std::string_view value)
{
    std::string plain;
    for (std::size_t index = 0; index < value.size(); ++index) {
        if (value[index] != '\\' || index + 1 == value.size()) {
            plain += value[index];
            continue;
        }
        switch (const char next = value[++index]) {
        case 's':
            plain += ' ';
            break;
        case 'n':
            plain += '\n';
            break;
        case 't':
            plain += '\t';
            break;
        case 'r':
            plain += '\r';
            break;
        default:
            plain += next;
        }
    }
    return plain;
}

// Splits an Exec line into its arguments; absent when a quote is left open.
std::optional<std::vector<std::string>> splitExec(std::string_view line)
{
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (std::size_t index = 0; index < line.size(); ++index) {
        const char character = line[index];
        if (quoted) {
            if (character == '\\' && index + 1 < line.size()) {
                current += line[++index];
            } else if (character == '"') {
                quoted = false;
            } else {
                current += character;
            }
        } else if (character == ' ' || character == '\t') {
            if (inArgument) {
                arguments.push_back(std::move(current));
                current.clear();
                inArgument = false;
            }
        } else if (character == '"') {
            quoted = true;
            inArgument = true;
        } else {
            current += character;
            inArgument = true;
        }
        if (character == '%' && index + 1 < line.size() && line[index + 1] == '%') {
            ++index; // %% stands for one %
        }
    }
    if (quoted) {
        return std::nullopt;
    }
    if (inArgument) {
        arguments.push_back(std::move(current));
    }
    return arguments;
}

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

} // namespace

std::string autostartEntry(const std::string& executable)
{
    const std::string exec = "env " + std::string(kLoginItemVariable) + " " + quoteArgument(executable);
    return std::string(kEntryGroup) + "\n" +
        "Type=Application\n"
        "Name=Quorvantile Sensors\n"
        "Comment=Keeps the sensor companion running\n" +
        "Exec=" + escapeValue(exec) + "\n" +
        "Terminal=false\n"
        "NoDisplay=true\n"
        "X-GNOME-Autostart-enabled=true\n";
}

std::optional<std::string> autostartProgram(std::string_view entry)
{
    bool inGroup = false;
    std::optional<std::string> exec;
    while (!entry.empty()) {
        const auto end = entry.find('\n');
        const std::string_view line = trim(entry.substr(0, end));
        entry.remove_prefix(end == std::string_view::npos ? entry.size() : end + 1);
        if (line.starts_with('[')) {
            inGroup = line == kEntryGroup;
            continue;
        }
        const auto equals = line.find('=');
        if (!inGroup || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if (key == "Hidden" && value == "true") {
            return std::nullopt;
        }
        if (key == "Exec" && !exec) {
            exec = unescapeValue(value);
        }
    }
    if (!exec) {
        return std::nullopt;
    }
    const auto arguments = splitExec(*exec);
    if (!arguments) {
        return std::nullopt;
    }
    std::size_t index = 0;
    if (index < arguments->size() && (*arguments)[index] == "env") {
        ++index;
        while (index < arguments->size() && (*arguments)[index].find('=') != std::string::npos) {
            ++index;
        }
    }
    if (index == arguments->size()) {
        return std::nullopt;
    }
    return (*arguments)[index];
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
    const auto entry = readWholeFile(AT_FDCWD, entryPath().string(), kMaximumEntryBytes);
    if (!entry) {
        return LoginItemStatus::notRegistered;
    }
    const auto program = autostartProgram(*entry);
    return program == executable_->string() ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
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
    co_return writeFileAtomically(entryPath(), autostartEntry(executable_->string()));
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
