#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvantile {

// How a reader knows that a file has ended. The kernel's own files (/proc, /sys) hand over their
// whole text in one read when the buffer holds it, so there a short read is the end and saves a
// second read; any other file ends at a read of 0 bytes.
enum class FileEnd { emptyRead, shortRead };

// The one bounded reader of small files. Reads an open file from its current offset to its end,
// but no more than `limitBytes`, into `buffer` (the caller's, so that repeated reads need not
// allocate). Absent when a read fails (errno tells why).
[[nodiscard]] std::optional<std::string_view> readFileStart(
    int fd, std::size_t limitBytes, std::string& buffer, FileEnd end = FileEnd::emptyRead);

// A whole file of at most `maximumBytes`, relative to `directoryFd` (or an absolute path with
// AT_FDCWD). Absent when it cannot be opened or read, or is longer (errno EFBIG).
[[nodiscard]] std::optional<std::string_view> readWholeFile(
    int directoryFd, const char* path, std::size_t maximumBytes, std::string& buffer, FileEnd end = FileEnd::emptyRead);
[[nodiscard]] std::optional<std::string> readWholeFile(
    int directoryFd, const std::string& path, std::size_t maximumBytes);

// The whole of an open file of at most `maximumBytes`, read again from its start with pread (the
// file's offset is left alone): a /proc file kept open gives its text as it is now. Absent when a
// read fails or the file is longer (errno EFBIG).
[[nodiscard]] std::optional<std::string_view> rereadWholeFile(
    int fd, std::size_t maximumBytes, std::string& buffer, FileEnd end = FileEnd::emptyRead);

// Writes all of `bytes`, going on after short writes and interruptions; false on an error (errno
// tells which; EIO for a write that took nothing).
[[nodiscard]] bool writeAll(int fd, std::string_view bytes);

} // namespace quorvantile
