#include "companion/linux/RunningApplicationText.h"

#include "companion/AppQuitRequest.h"
#include "processes/linux/ProcfsText.h"

#include <charconv>
#include <utility>

namespace quorvantile::applications {
namespace {

constexpr std::string_view kWhiteSpace = " \t";

// The next line of `text` without its line feed (and a carriage return before it), removed from it.
std::string_view takeLine(std::string_view& text)
{
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    return line;
}

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> pieces;
    for (;;) {
        const std::size_t at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return pieces;
        }
        text.remove_prefix(at + 1);
    }
}

// systemd writes characters that are not allowed in unit names as "\xNN".
std::optional<std::string> unescaped(std::string_view text)
{
    std::string result;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '\\') {
            result += text[index];
            continue;
        }
        unsigned value = 0;
        const char* digits = text.data() + index + 2;
        if (text.substr(index, 2) != "\\x" || index + 4 > text.size() ||
            std::from_chars(digits, digits + 2, value, 16).ptr != digits + 2) {
            return std::nullopt;
        }
        result += static_cast<char>(value);
        index += 3;
    }
    return result;
}

std::optional<std::string> applicationID(std::string_view escaped)
{
    auto id = unescaped(escaped);
    if (!id || !isBundleIdentifierText(*id)) {
        return std::nullopt;
    }
    return id;
}

// Group and key lines of a key file, as desktop entries and .flatpak-info use them. Calls
// `onKey(group, key, value)` for each key; false when a line is none of group, key, comment, blank.
template<typename OnKey> bool readKeyFile(std::string_view text, OnKey onKey)
{
    std::string_view group;
    while (!text.empty()) {
        const std::string_view line = trimmed(takeLine(text));
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) {
                return false;
            }
            group = line.substr(1, line.size() - 2);
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || group.empty()) {
            return false;
        }
        const std::string_view key = trimmed(line.substr(0, equals));
        if (key.empty()) {
            return false;
        }
        onKey(group, key, trimmed(line.substr(equals + 1)));
    }
    return true;
}

} // namespace

std::optional<CgroupPath> systemdCgroup(std::string_view cgroupText)
{
    std::optional<std::string_view> unified;
    std::optional<std::string_view> named;
    while (!cgroupText.empty()) {
        const std::string_view line = takeLine(cgroupText);
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::string_view hierarchy = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (hierarchy == "0" && controllers.empty()) {
            unified = unified.value_or(path);
        } else {
            for (const std::string_view controller : split(controllers, ',')) {
                if (controller == "name=systemd") {
                    named = named.value_or(path);
                }
            }
        }
    }
    if (unified && (*unified != "/" || !named)) {
        return CgroupPath {CgroupHierarchy::unified, *unified};
    }
    if (named) {
        return CgroupPath {CgroupHierarchy::namedSystemd, *named};
    }
    return std::nullopt;
}

std::optional<ApplicationUnit> applicationUnit(std::string_view cgroupPath)
{
    if (!cgroupPath.starts_with('/')) {
        return std::nullopt;
    }
    std::size_t end = 0;
    for (const std::string_view component : split(cgroupPath.substr(1), '/')) {
        end += 1 + component.size();
        const bool userManager = component.starts_with("user@") && component.ends_with(".service");
        if (component.ends_with(".slice") || userManager) {
            continue;
        }
        auto id = applicationIDFromUnit(component);
        if (!id) {
            return std::nullopt;
        }
        return ApplicationUnit {cgroupPath.substr(0, end), std::move(*id)};
    }
    return std::nullopt;
}

std::optional<std::string> applicationIDFromUnit(std::string_view unitName)
{
    if (!unitName.starts_with("app-")) {
        return std::nullopt;
    }
    unitName.remove_prefix(4);
    if (unitName.ends_with(".scope")) {
        unitName.remove_suffix(6);
        // [<launcher>-]<ID>-<random>: the ID's own hyphens are escaped, so the pieces are unambiguous.
        const auto pieces = split(unitName, '-');
        if ((pieces.size() != 2 && pieces.size() != 3) || pieces.front().empty() || pieces.back().empty()) {
            return std::nullopt;
        }
        return applicationID(pieces[pieces.size() - 2]);
    }
    if (unitName.ends_with(".service")) {
        unitName.remove_suffix(8);
        const std::size_t at = unitName.find('@');
        if (at != std::string_view::npos) {
            if (at + 1 == unitName.size()) {
                return std::nullopt;
            }
            unitName = unitName.substr(0, at);
        }
        const auto pieces = split(unitName, '-');
        if (pieces.size() > 2 || pieces.front().empty()) {
            return std::nullopt;
        }
        return applicationID(pieces.back());
    }
    return std::nullopt;
}

std::optional<std::string> flatpakApplicationName(std::string_view flatpakInfo)
{
    std::optional<std::string_view> name;
    if (!readKeyFile(flatpakInfo, [&](auto group, auto key, auto value) {
            if (group == "Application" && key == "name" && !name) {
                name = value;
            }
        })) {
        return std::nullopt;
    }
    if (!name || !isBundleIdentifierText(*name)) {
        return std::nullopt;
    }
    return std::string(*name);
}

std::optional<std::vector<std::int32_t>> parseProcessIDs(std::string_view procsText)
{
    std::vector<std::int32_t> pids;
    while (!procsText.empty()) {
        const std::string_view line = takeLine(procsText);
        if (line == "0") {
            continue; // a process outside this pid namespace: it cannot be the one asked about
        }
        const auto pid = procfs::parsePid(line);
        if (!pid) {
            return std::nullopt;
        }
        pids.push_back(*pid);
    }
    return pids;
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text)
{
    DesktopEntry entry;
    bool groupSeen = false;
    bool noDisplaySeen = false;
    bool hiddenSeen = false;
    const bool wellFormed = readKeyFile(text, [&](auto group, auto key, auto value) {
        if (group != "Desktop Entry") {
            return;
        }
        groupSeen = true;
        if (key == "Type" && !entry.type) {
            entry.type = std::string(value);
        } else if (key == "NoDisplay" && !std::exchange(noDisplaySeen, true)) {
            entry.noDisplay = value == "true";
        } else if (key == "Hidden" && !std::exchange(hiddenSeen, true)) {
            entry.hidden = value == "true";
        }
    });
    if (!wellFormed || !groupSeen) {
        return std::nullopt;
    }
    return entry;
}

ActivationPolicy activationPolicy(const std::optional<DesktopEntry>& entry)
{
    if (!entry || entry->type != "Application") {
        return ActivationPolicy::prohibited;
    }
    return entry->noDisplay || entry->hidden ? ActivationPolicy::accessory : ActivationPolicy::regular;
}

} // namespace quorvantile::applications

namespace quorvantile::applications {

CgroupMounts cgroupMounts(const std::vector<mounts::Mount>& table)
{
    CgroupMounts found;
    for (const mounts::Mount& mount : table) {
        const CgroupMount location {mount.root, mount.mountPoint};
        if (mount.type == "cgroup2" && !found.unified) {
            found.unified = location;
        } else if (mount.type == "cgroup" && !found.namedSystemd) {
            for (const std::string_view option : split(mount.superOptions, ',')) {
                if (option == "name=systemd") {
                    found.namedSystemd = location;
                }
            }
        }
    }
    return found;
}

std::optional<std::string> cgroupFolder(const CgroupMount& mount, std::string_view path)
{
    std::string_view root = mount.root;
    if (root.ends_with('/')) {
        root.remove_suffix(1);
    }
    if (!path.starts_with(root) || (path.size() > root.size() && path[root.size()] != '/')) {
        return std::nullopt;
    }
    const std::string_view rest = path.substr(root.size());
    if (rest.find("/..") != std::string_view::npos) {
        return std::nullopt; // a path outside this cgroup namespace
    }
    return mount.mountPoint + std::string(rest);
}

std::vector<std::string> dataDirectories(const char* xdgDataHome, const char* home, const char* xdgDataDirs)
{
    const auto absolute = [](std::string_view path) { return path.starts_with('/'); };
    std::vector<std::string> directories;
    if (xdgDataHome != nullptr && absolute(xdgDataHome)) {
        directories.emplace_back(xdgDataHome);
    } else if (home != nullptr && absolute(home)) {
        directories.push_back(std::string(home) + "/.local/share");
    }
    const std::string_view dirs =
        xdgDataDirs != nullptr && *xdgDataDirs != '\0' ? xdgDataDirs : "/usr/local/share:/usr/share";
    for (const std::string_view directory : split(dirs, ':')) {
        if (absolute(directory)) {
            directories.emplace_back(directory);
        }
    }
    return directories;
}

} // namespace quorvantile::applications
