#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The one parser of /proc/<pid>/stat, shared by the process table and the peer check. Only code
// under linux/ includes this.
namespace quorvantile::procfs {

// The fields of /proc/<pid>/stat that are used. `comm` points into the parsed text.
struct StatFields {
    std::int32_t pid = 0;
    std::string_view comm;
    char state = 0;
    std::uint64_t userTicks = 0;
    std::uint64_t systemTicks = 0;
    std::int32_t threads = 0;
    std::uint64_t startTicks = 0; // since boot
};

// The command name may hold spaces, parentheses and line feeds, so it runs from the first '(' to the
// LAST ')'; the numeric fields follow.
[[nodiscard]] std::optional<StatFields> parseStat(std::string_view text);

} // namespace quorvantile::procfs
