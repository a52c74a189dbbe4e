#pragma once

#include "common/UniqueFd.h"

#include <optional>
#include <string>

namespace quorvantile {

// Opens `path` for lookups, without following a final symbolic link (openLookupDirectory), into
// `directory` and says in one line of text why it is not a directory that only this user can reach
// (a directory, not a link, owned by the effective user, no access for group or others); nullopt
// when it is. On a problem `directory` is left invalid. The socket and the lock live in such a
// directory: anything less lets another user replace them.
[[nodiscard]] std::optional<std::string> openPrivateDirectory(const std::string& path, UniqueFd& directory);

// The same check where no descriptor is kept.
[[nodiscard]] std::optional<std::string> privateDirectoryProblem(const std::string& path);

[[nodiscard]] inline bool isPrivateDirectory(const std::string& path) { return !privateDirectoryProblem(path); }

} // namespace quorvantile
