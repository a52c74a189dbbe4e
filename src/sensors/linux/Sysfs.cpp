#include "sensors/linux/Sysfs.h"

#include "common/FileText.h"
#include "common/Numbers.h"
#include "common/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace quorvantile::sysfs {

std::optional<std::string> readAttribute(int directoryFd, const std::string& path)
{
    // Sysfs hands over an attribute's whole text in one read, so a short read is its end.
    std::string buffer;
    const auto text = readWholeFile(directoryFd, path.c_str(), kMaximumAttributeBytes, buffer, FileEnd::shortRead);
    if (!text) {
        return std::nullopt;
    }
    buffer.resize(text->size() - (text->ends_with('\n') ? 1 : 0));
    return buffer;
}

Attribute readKnownAttribute(const std::string& path)
{
    Attribute attribute {readAttribute(AT_FDCWD, path)};
    attribute.known = attribute.text || !exists(path);
    return attribute;
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
    return text::parseDecimal<std::int64_t>(text, text::Sign::allowed);
}

bool naturalLess(std::string_view left, std::string_view right)
{
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < left.size() && j < right.size()) {
        if (isDigit(left[i]) && isDigit(right[j])) {
            const std::size_t startLeft = i;
            const std::size_t startRight = j;
            while (i < left.size() && isDigit(left[i])) {
                ++i;
            }
            while (j < right.size() && isDigit(right[j])) {
                ++j;
            }
            // Compare the runs as numbers without converting them: strip leading zeros, then a
            // longer run is larger, equal lengths compare by text.
            std::string_view a = left.substr(startLeft, i - startLeft);
            std::string_view b = right.substr(startRight, j - startRight);
            while (a.size() > 1 && a.front() == '0') {
                a.remove_prefix(1);
            }
            while (b.size() > 1 && b.front() == '0') {
                b.remove_prefix(1);
            }
            if (a.size() != b.size()) {
                return a.size() < b.size();
            }
            if (a != b) {
                return a < b;
            }
            continue;
        }
        if (left[i] != right[j]) {
            return static_cast<unsigned char>(left[i]) < static_cast<unsigned char>(right[j]);
        }
        ++i;
        ++j;
    }
    if (left.size() - i != right.size() - j) {
        return left.size() - i < right.size() - j;
    }
    return left < right; // equal by number ("01" and "1"): fall back to the text for a strict order
}

namespace {

// Bytes of directory entries asked for at a time; a sysfs directory fits in one or two reads.
constexpr std::size_t kDirectoryReadBytes = 32'768;

// The entries of the open directory `fd` (without "." and ".."), in natural order of their names.
// Read with getdents64 itself: opendir would first stat the directory for a buffer size.
std::optional<std::vector<ClassEntry>> entries(int fd)
{
    const auto buffer = std::make_unique_for_overwrite<char[]>(kDirectoryReadBytes);
    std::vector<ClassEntry> found;
    for (;;) {
        const ssize_t bytes = ::getdents64(fd, buffer.get(), kDirectoryReadBytes);
        if (bytes < 0) {
            return std::nullopt;
        }
        if (bytes == 0) {
            break;
        }
        for (ssize_t offset = 0; offset < bytes;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.get() + offset);
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") {
                found.push_back({std::string(name), entry->d_ino});
            }
            offset += entry->d_reclen;
        }
    }
    std::sort(found.begin(), found.end(),
        [](const ClassEntry& a, const ClassEntry& b) { return naturalLess(a.name, b.name); });
    return found;
}

// The path the kernel names the open file `fd` by: one step, where realpath reads every component.
// Absent without /proc, for a file the kernel cannot name from our root, or one deleted meanwhile.
std::optional<std::string> namedPath(int fd)
{
    std::array<char, PATH_MAX> named {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), named.data(), named.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= named.size() || named[0] != '/') {
        return std::nullopt;
    }
    std::string text(named.data(), static_cast<std::size_t>(length));
    return text.ends_with(" (deleted)") ? std::nullopt : std::optional(std::move(text));
}

UniqueFd openDirectory(const std::string& path)
{
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

} // namespace

std::optional<std::vector<std::string>> listDirectory(const std::string& path)
{
    const UniqueFd directory = openDirectory(path);
    auto listed = directory ? entries(directory.get()) : std::nullopt;
    if (!listed) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    names.reserve(listed->size());
    for (ClassEntry& entry : *listed) {
        names.push_back(std::move(entry.name));
    }
    return names;
}

namespace {

// The class directory `<root>/class/<className>`, open, and its entries. A missing class directory
// has none (and no descriptor); absent when it cannot be read or the tree itself is missing.
struct ClassDirectory {
    std::string path;
    UniqueFd directory;
    std::vector<ClassEntry> entries;
};

std::optional<ClassDirectory> openClass(const std::string& root, std::string_view className)
{
    ClassDirectory found {root + "/class/" + std::string(className), {}, {}};
    found.directory = openDirectory(found.path);
    auto listed = found.directory ? entries(found.directory.get()) : std::nullopt;
    if (!listed) {
        // A kernel without the class has no such devices; a missing tree tells nothing at all.
        if (exists(root) && !exists(found.path)) {
            found.directory.reset();
            return found;
        }
        return std::nullopt;
    }
    found.entries = std::move(*listed);
    return found;
}

} // namespace

std::optional<std::vector<ClassEntry>> listClassEntries(const std::string& root, std::string_view className)
{
    auto opened = openClass(root, className);
    return opened ? std::optional(std::move(opened->entries)) : std::nullopt;
}

bool sameEntries(const std::vector<ClassEntry>& entries, const std::vector<ClassDevice>& devices)
{
    return std::equal(entries.begin(), entries.end(), devices.begin(), devices.end(),
        [](const ClassEntry& entry, const ClassDevice& device) {
            return entry.name == device.name && entry.inode == device.inode;
        });
}

std::optional<std::vector<ClassDevice>> listClass(const std::string& root, std::string_view className)
{
    auto opened = openClass(root, className);
    if (!opened || !opened->directory) {
        return opened ? std::optional(std::vector<ClassDevice> {}) : std::nullopt;
    }
    // The directory just listed names itself; a path resolved by hand is the fallback.
    auto canonicalClass = namedPath(opened->directory.get());
    if (!canonicalClass) {
        canonicalClass = canonicalPath(opened->path);
    }
    if (!canonicalClass) {
        return std::nullopt;
    }
    std::vector<ClassDevice> devices;
    devices.reserve(opened->entries.size());
    for (ClassEntry& entry : opened->entries) {
        if (auto path = resolveLink(*canonicalClass, entry.name)) {
            devices.push_back({std::move(entry), std::move(*path)});
        }
    }
    return devices;
}

std::optional<std::string> resolveLink(const std::string& directory, const std::string& name)
{
    const std::string path = directory + "/" + name;
    std::array<char, PATH_MAX> target {};
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) {
        return errno == EINVAL ? std::optional(path) : std::nullopt; // EINVAL: not a link
    }
    if (static_cast<std::size_t>(length) == target.size()) {
        return std::nullopt; // cut short
    }
    const std::string_view text(target.data(), static_cast<std::size_t>(length));
    if (text.starts_with('/')) {
        return canonicalPath(std::string(text));
    }
    // Join lexically: "." is dropped, ".." removes the last component.
    std::string joined = directory;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view {} : rest.substr(slash + 1);
        if (component.empty() || component == ".") {
            continue;
        }
        if (component == "..") {
            const std::size_t last = joined.rfind('/');
            joined.resize(last == std::string::npos ? 0 : last);
            continue;
        }
        joined.append("/").append(component);
    }
    return joined.empty() ? std::string("/") : joined;
}

std::optional<std::string> canonicalPath(const std::string& path)
{
    const UniqueFd file(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!file) {
        return std::nullopt;
    }
    if (auto named = namedPath(file.get())) {
        return named;
    }
    // Without /proc, or for a file the kernel cannot name from our root: resolve it by hand.
    const std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), std::free);
    return resolved ? std::optional<std::string>(resolved.get()) : std::nullopt;
}

bool exists(const std::string& path)
{
    struct stat status { };
    return stat(path.c_str(), &status) == 0;
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
