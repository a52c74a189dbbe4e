#include "sensors/linux/Sysfs.h"

#include "common/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace quorvantile::sysfs {

std::string root()
{
    const char* configured = std::getenv("QUORVANTILE_SYSFS_ROOT");
    return configured != nullptr && *configured != '\0' ? configured : "/sys";
}

std::optional<std::string> readAttribute(int directoryFd, const std::string& path)
{
    const UniqueFd file(openat(directoryFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) {
        return std::nullopt;
    }
    std::string contents(kMaximumAttributeBytes + 1, '\0');
    std::size_t filled = 0;
    while (filled < contents.size()) {
        const ssize_t got = read(file.get(), contents.data() + filled, contents.size() - filled);
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
    if (filled > kMaximumAttributeBytes) {
        return std::nullopt;
    }
    contents.resize(filled);
    if (!contents.empty() && contents.back() == '\n') {
        contents.pop_back();
    }
    return contents;
}

std::optional<std::int64_t> parseInteger(std::string_view text)
{
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc {} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::uint64_t entryID(std::string_view canonicalPath)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : canonicalPath) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash == 0 ? 1 : hash; // zero means "no id" to every reader
}

} // namespace quorvantile::sysfs
