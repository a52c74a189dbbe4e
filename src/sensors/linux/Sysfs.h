#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Small helpers shared by the sysfs-backed ports. Only code under linux/ includes this.
namespace quorvantile::sysfs {

// Sysfs files the readers use are short; anything longer is not what we expect.
inline constexpr std::size_t kMaximumAttributeBytes = 4096;

// The sysfs root: $QUORVANTILE_SYSFS_ROOT when set and not empty, else "/sys".
[[nodiscard]] std::string root();

// Reads a whole attribute relative to `directoryFd` (or an absolute path with AT_FDCWD), without
// its trailing line feed; absent when it cannot be read or is longer than the limit above.
[[nodiscard]] std::optional<std::string> readAttribute(int directoryFd, const std::string& path);

// A decimal integer with an optional sign and surrounding white space, nothing else.
[[nodiscard]] std::optional<std::int64_t> parseInteger(std::string_view text);

// A stable, non-zero 64-bit registry entry id for a device: FNV-1a of its canonical sysfs path.
[[nodiscard]] std::uint64_t entryID(std::string_view canonicalPath);

} // namespace quorvantile::sysfs
