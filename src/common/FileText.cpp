#include "common/FileText.h"

#include "common/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quorvantile {

std::optional<std::string> readWholeFile(int directoryFd, const std::string& path, std::size_t maximumBytes)
{
    const UniqueFd file(openat(directoryFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) {
        return std::nullopt;
    }
    return readOpenFile(file.get(), maximumBytes);
}

std::optional<std::string> readOpenFile(int fd, std::size_t maximumBytes)
{
    // One byte of room beyond the limit tells a file that is too long from one that fills it.
    std::string contents(maximumBytes + 1, '\0');
    std::size_t filled = 0;
    while (filled < contents.size()) {
        const ssize_t got = read(fd, contents.data() + filled, contents.size() - filled);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    if (filled > maximumBytes) {
        return std::nullopt;
    }
    contents.resize(filled);
    return contents;
}

} // namespace quorvantile
