#pragma once

#include "common/linux/MountTable.h"
#include "companion/AppQuitOperatingSystem.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Pure parsers of the texts the running-application lookup reads: /proc/<pid>/cgroup, systemd unit
// names, a Flatpak's .flatpak-info, cgroup.procs and desktop entries.
namespace quorvantile::applications {

// Which cgroup hierarchy a path was taken from.
enum class CgroupHierarchy { unified, namedSystemd };

struct CgroupPath {
    CgroupHierarchy hierarchy = CgroupHierarchy::unified;
    std::string_view path; // points into the parsed text
};

// The cgroup that holds the process's systemd units: the unified line ("0::"), or, on a hybrid
// hierarchy where that line is "/" (or missing), the "name=systemd" line.
[[nodiscard]] std::optional<CgroupPath> systemdCgroup(std::string_view cgroupText);

// The application unit in a cgroup path and the path up to and including it: the first component
// after the slices (and a user manager, "user@<uid>.service") when it is an app unit; sub-cgroups
// of the unit below it are ignored.
struct ApplicationUnit {
    std::string_view unitPath; // from the start of the path to the end of the unit's component
    std::string applicationID;
};
[[nodiscard]] std::optional<ApplicationUnit> applicationUnit(std::string_view cgroupPath);

// The desktop application ID in an app unit's name, "app-[<launcher>-]<ID>-<random>.scope" or
// "app-[<launcher>-]<ID>[@<random>].service", with systemd's "\xNN" escapes undone. Only an ID that
// is a bundle identifier's text is taken, so that it is safe as a file name.
[[nodiscard]] std::optional<std::string> applicationIDFromUnit(std::string_view unitName);

// `name` of the [Application] group of a .flatpak-info file, when it is a bundle identifier's text.
[[nodiscard]] std::optional<std::string> flatpakApplicationName(std::string_view flatpakInfo);

// The process ids of a cgroup.procs file; absent when a line is not a process id.
[[nodiscard]] std::optional<std::vector<std::int32_t>> parseProcessIDs(std::string_view procsText);

// What the activation policy needs from a desktop entry's [Desktop Entry] group.
struct DesktopEntry {
    std::optional<std::string> type;
    bool noDisplay = false;
    bool hidden = false;
};

// Reads the [Desktop Entry] group: comments and blank lines skipped, white space around "=" and at
// the ends of a value ignored, localised keys ("Name[de]") and other groups passed over, the first of
// repeated keys kept. Absent when the group is missing or a line is neither a group, a key, a
// comment nor blank, as launchers refuse such files.
[[nodiscard]] std::optional<DesktopEntry> parseDesktopEntry(std::string_view text);

// Regular for an application entry shown by launchers, accessory for one hidden from them,
// prohibited without an application entry.
[[nodiscard]] ActivationPolicy activationPolicy(const std::optional<DesktopEntry>& entry);

} // namespace quorvantile::applications

namespace quorvantile::applications {

// Where a cgroup hierarchy is mounted: the cgroup path at the mount's root and the mount point.
struct CgroupMount {
    std::string root;
    std::string mountPoint;
};
struct CgroupMounts {
    std::optional<CgroupMount> unified; // the cgroup2 file system
    std::optional<CgroupMount> namedSystemd; // the v1 "name=systemd" hierarchy of a hybrid system
};

// The first mount of each hierarchy in a mount table.
[[nodiscard]] CgroupMounts cgroupMounts(const std::vector<mounts::Mount>& table);

// The folder of cgroup `path` below `mount`; absent when the path lies outside the mount.
[[nodiscard]] std::optional<std::string> cgroupFolder(const CgroupMount& mount, std::string_view path);

// The data folders that hold desktop entries, most important first: $XDG_DATA_HOME (default
// $HOME/.local/share), then each folder of $XDG_DATA_DIRS (default /usr/local/share and /usr/share).
// Relative paths are ignored, as the base-directory rules ask.
[[nodiscard]] std::vector<std::string> dataDirectories(
    const char* xdgDataHome, const char* home, const char* xdgDataDirs);

} // namespace quorvantile::applications
