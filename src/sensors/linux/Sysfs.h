#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Small helpers shared by the sysfs-backed ports. Only code under linux/ includes this.
namespace quorvantile::sysfs {

// Sysfs files the readers use are short; anything longer is not what we expect.
inline constexpr std::size_t kMaximumAttributeBytes = 4096;

// Reads a whole attribute relative to `directoryFd` (or an absolute path with AT_FDCWD), without
// its trailing line feed; absent when it cannot be read or is longer than the limit above.
[[nodiscard]] std::optional<std::string> readAttribute(int directoryFd, const std::string& path);

// An attribute as readAttribute reads it, and whether it is known: a missing file is known to be
// absent, one that exists but cannot be read is not.
struct Attribute {
    std::optional<std::string> text;
    bool known = true;
};
[[nodiscard]] Attribute readKnownAttribute(const std::string& path);

// A decimal integer with an optional sign and surrounding white space, nothing else (text::parseDecimal).
[[nodiscard]] std::optional<std::int64_t> parseInteger(std::string_view text);

// One entry of a sysfs class directory. Sysfs numbers every registration anew (it does not reuse
// inode numbers while the system runs), so the same entries mean the same devices.
struct ClassEntry {
    std::string name; // "hwmon0", "BAT0"
    std::uint64_t inode = 0;
};

// One device of a sysfs class directory (class/hwmon, class/power_supply): its entry and the
// canonical path the entry leads to.
struct ClassDevice : ClassEntry {
    std::string path;
};

// The devices of `<root>/class/<className>` in natural name order ("hwmon2" before "hwmon10").
// A missing class directory has no devices; absent when it cannot be read or the tree itself is
// missing. Entries whose path cannot be resolved (a device going away) are left out.
[[nodiscard]] std::optional<std::vector<ClassDevice>> listClass(const std::string& root, std::string_view className);
// The entries alone, in the same order, without resolving a link: enough to tell that nothing came
// or went since a listClass.
[[nodiscard]] std::optional<std::vector<ClassEntry>> listClassEntries(
    const std::string& root, std::string_view className);
// Whether `devices`, from listClass, are exactly `entries`.
[[nodiscard]] bool sameEntries(const std::vector<ClassEntry>& entries, const std::vector<ClassDevice>& devices);

// The entry names of a directory (without "." and ".."), in natural order; absent when it cannot
// be read.
[[nodiscard]] std::optional<std::vector<std::string>> listDirectory(const std::string& path);

// Natural order: runs of digits compare by their number, everything else byte by byte.
[[nodiscard]] bool naturalLess(std::string_view left, std::string_view right);

// The canonical path of `name` in the canonical directory `directory`: the entry itself when it is
// no link, else its target. A relative target is joined lexically, which is exact in sysfs, where
// class and device links lead through /sys/devices without further links; an absolute one is
// resolved in full. Absent when the entry cannot be read.
[[nodiscard]] std::optional<std::string> resolveLink(const std::string& directory, const std::string& name);

// The path with every link resolved; absent when it does not exist.
[[nodiscard]] std::optional<std::string> canonicalPath(const std::string& path);

// Whether a path exists, without opening it.
[[nodiscard]] bool exists(const std::string& path);

// A stable, non-zero 64-bit registry entry id for a device: FNV-1a of its canonical sysfs path.
[[nodiscard]] std::uint64_t entryID(std::string_view canonicalPath);

} // namespace quorvantile::sysfs
