#include "codesign/FileReading.h"

#include <unistd.h>

#include <cerrno>

namespace quorvantile::codesign {

bool readFully(int fd, std::uint64_t offset, char* buffer, std::size_t bytes)
{
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t got = pread(fd, buffer + done, bytes - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<std::string> readAt(int fd, std::uint64_t offset, std::size_t bytes)
{
    std::string buffer(bytes, '\0');
    if (!readFully(fd, offset, buffer.data(), bytes)) {
        return std::nullopt;
    }
    return buffer;
}

FileIdentity fileIdentity(const struct stat& status) noexcept
{
    return FileIdentity {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
        static_cast<std::uint64_t>(status.st_size), status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
        status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
}

std::optional<FileIdentity> regularFileIdentity(int fd) noexcept
{
    struct stat status { };
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
        return std::nullopt;
    }
    return fileIdentity(status);
}

} // namespace quorvantile::codesign
