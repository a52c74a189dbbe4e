#pragma once

#include <optional>
#include <string>
#include <string_view>

// A bind by path that proves where it landed, for a platform that cannot bind relative to a
// directory descriptor.
namespace quorvantile {

// Binds the UNIX socket `socket` to `path`/`name` and proves that it is `name` in `directory` (a
// descriptor of the directory `path` named when it was checked): the path must name that directory
// before the bind, and afterwards `name` must be the same socket of this user whether looked up
// through the path or through the descriptor. A socket that fails the proof is removed again. In one
// line of text why it could not bind; nullopt once bound there.
[[nodiscard]] std::optional<std::string> bindByPathInDirectory(
    int socket, int directory, const std::string& path, std::string_view name);

} // namespace quorvantile
