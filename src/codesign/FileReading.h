#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Reads through an already opened descriptor, by offset, so that the bytes verified are the bytes
// of the file that was opened and never of whatever a path names a moment later.
namespace quorvantile::codesign {

// Exactly `bytes` bytes at `offset`; absent on an error or when the file ends before.
[[nodiscard]] std::optional<std::string> readAt(int fd, std::uint64_t offset, std::size_t bytes);

// Fills `buffer` with `bytes` bytes from `offset`; false on an error or an early end of file.
[[nodiscard]] bool readFully(int fd, std::uint64_t offset, char* buffer, std::size_t bytes);

// Who a file is and which version of it: device, inode, size and both modification times to the
// nanosecond. A write or a metadata change alters at least one of them.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modificationSeconds = 0;
    std::int64_t modificationNanoseconds = 0;
    std::int64_t changeSeconds = 0;
    std::int64_t changeNanoseconds = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

[[nodiscard]] FileIdentity fileIdentity(const struct stat& status) noexcept;

// fstat of a regular file; absent for anything else.
[[nodiscard]] std::optional<FileIdentity> regularFileIdentity(int fd) noexcept;

} // namespace quorvantile::codesign
