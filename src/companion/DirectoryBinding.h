#pragma once

#include "common/UniqueFd.h"

#include <optional>
#include <string>
#include <string_view>

// The two platform steps that keep the server's lock and socket in the container that was checked:
// a descriptor of the container, and a bind of the socket inside it.
namespace quorvantile {

// Opens `path` for lookups relative to it (the directory of *at calls), without following a final
// symbolic link. Invalid on failure, with errno saying why. Whether it is a directory is the
// caller's to check: one platform refuses anything else here already, the other opens it.
[[nodiscard]] UniqueFd openLookupDirectory(const std::string& path);

// Binds the UNIX socket `socket` to `name` inside `directory`, which openLookupDirectory opened from
// `path`, so that the socket lands in that very directory and nowhere else. The file's mode comes
// from the umask. In one line of text why it could not; nullopt once bound.
[[nodiscard]] std::optional<std::string> bindInDirectory(
    int socket, int directory, const std::string& path, std::string_view name);

} // namespace quorvantile
