#pragma once

#include <optional>
#include <string>

namespace quorvantile {

// Why `path` is not a directory that only this user can reach (a directory, not a link, owned by
// the effective user, no access for group or others), in one line of text; nullopt when it is.
// The socket and the lock live in such a directory: anything less lets another user replace them.
[[nodiscard]] std::optional<std::string> privateDirectoryProblem(const std::string& path);

[[nodiscard]] inline bool isPrivateDirectory(const std::string& path) { return !privateDirectoryProblem(path); }

} // namespace quorvantile
