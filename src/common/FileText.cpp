#include "common/FileText.h"

#include "common/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quorvantile {
namespace {

// A buffer starts this large (or at the limit) and doubles while the file fills it.
constexpr std::size_t kInitialBufferBytes = 4096;

// Reads up to `limitBytes` from the current offset (`at` absent) or from offset `*at` on.
std::optional<std::string_view> readFrom(
    int fd, std::optional<off_t> at, std::size_t limitBytes, std::string& buffer, FileEnd end)
{
    std::size_t length = 0;
    while (length < limitBytes) {
        if (length == buffer.size()) {
            buffer.resize(std::min(std::max(2 * buffer.size(), kInitialBufferBytes), limitBytes));
        }
        const std::size_t room = std::min(buffer.size(), limitBytes) - length;
        const ssize_t got = at ? ::pread(fd, buffer.data() + length, room, *at + static_cast<off_t>(length))
                               : ::read(fd, buffer.data() + length, room);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        length += static_cast<std::size_t>(got);
        if (got == 0 || (end == FileEnd::shortRead && static_cast<std::size_t>(got) < room)) {
            break;
        }
    }
    return std::string_view(buffer.data(), length);
}

// A text longer than `maximumBytes` (read up to one byte beyond it) is refused.
std::optional<std::string_view> withinMaximum(std::optional<std::string_view> text, std::size_t maximumBytes)
{
    if (text && text->size() > maximumBytes) {
        errno = EFBIG;
        return std::nullopt;
    }
    return text;
}

} // namespace

std::optional<std::string_view> readFileStart(int fd, std::size_t limitBytes, std::string& buffer, FileEnd end)
{
    return readFrom(fd, std::nullopt, limitBytes, buffer, end);
}

std::optional<std::string_view> rereadWholeFile(int fd, std::size_t maximumBytes, std::string& buffer, FileEnd end)
{
    return withinMaximum(readFrom(fd, off_t {0}, maximumBytes + 1, buffer, end), maximumBytes);
}

std::optional<std::string_view> readWholeFile(
    int directoryFd, const char* path, std::size_t maximumBytes, std::string& buffer, FileEnd end)
{
    const UniqueFd file(::openat(directoryFd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) {
        return std::nullopt;
    }
    // One byte beyond the limit tells a file that is too long from one that fills it.
    return withinMaximum(readFileStart(file.get(), maximumBytes + 1, buffer, end), maximumBytes);
}

std::optional<std::string> readWholeFile(int directoryFd, const std::string& path, std::size_t maximumBytes)
{
    std::string buffer;
    const auto text = readWholeFile(directoryFd, path.c_str(), maximumBytes, buffer);
    if (!text) {
        return std::nullopt;
    }
    buffer.resize(text->size()); // the text is the buffer's start
    return buffer;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace quorvantile
