#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quorvantile {

// Reads a whole small file (relative to `directoryFd`, or an absolute path with AT_FDCWD); absent
// when it cannot be opened or read, or holds more than `maximumBytes`.
[[nodiscard]] std::optional<std::string> readWholeFile(
    int directoryFd, const std::string& path, std::size_t maximumBytes);

// The same for a file the caller opened (and checked) itself, read from its current offset.
[[nodiscard]] std::optional<std::string> readOpenFile(int fd, std::size_t maximumBytes);

} // namespace quorvantile
