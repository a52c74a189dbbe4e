#include "companion/linux/PeerIntegrity.h"

#include "common/Numbers.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>

namespace quorvantile {
namespace {

// A status text is about 1.5 KB.
constexpr std::size_t kMaximumStatusBytes = 64 * 1024;
// Maps of a large program run to a few hundred kilobytes; a peer with more is not one of ours.
constexpr std::size_t kMaximumMapsBytes = 8 * 1024 * 1024;
constexpr std::size_t kMapsChunkBytes = 64 * 1024;
constexpr std::string_view kDeletedMark = " (deleted)";

// Device numbers in maps are hexadecimal; the shared decimal parser serves every other number.
std::optional<std::uint32_t> parseHexadecimal(std::string_view text)
{
    std::uint32_t value {};
    const auto [last, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc {} || last != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The next field up to a single space; the rest is left in `text` after that space.
std::optional<std::string_view> nextField(std::string_view& text)
{
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos || space == 0) {
        return std::nullopt;
    }
    const std::string_view field = text.substr(0, space);
    text.remove_prefix(space + 1);
    return field;
}

bool isHexadecimal(std::string_view text)
{
    return !text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<ExecutableMapping> parseMapsLine(std::string_view line, bool& executable)
{
    const auto range = nextField(line);
    const auto permissions = nextField(line);
    const auto offset = nextField(line);
    const auto device = nextField(line);
    if (!range || !permissions || !offset || !device || permissions->size() != 4 || !isHexadecimal(*offset)) {
        return std::nullopt;
    }
    const std::size_t dash = range->find('-');
    const std::size_t colon = device->find(':');
    if (dash == std::string_view::npos || !isHexadecimal(range->substr(0, dash)) ||
        !isHexadecimal(range->substr(dash + 1)) || colon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view flags = *permissions;
    if ((flags[0] != 'r' && flags[0] != '-') || (flags[1] != 'w' && flags[1] != '-') ||
        (flags[2] != 'x' && flags[2] != '-') || (flags[3] != 'p' && flags[3] != 's')) {
        return std::nullopt;
    }
    executable = flags[2] == 'x';
    const std::size_t inodeEnd = std::min(line.find(' '), line.size());
    const auto major = parseHexadecimal(device->substr(0, colon));
    const auto minor = parseHexadecimal(device->substr(colon + 1));
    const auto inode = text::parseDecimal<std::uint64_t>(line.substr(0, inodeEnd));
    if (!major || !minor || !inode) {
        return std::nullopt;
    }
    std::string_view path = line.substr(inodeEnd);
    path.remove_prefix(std::min(path.find_first_not_of(' '), path.size()));
    ExecutableMapping mapping {*major, *minor, *inode, path, false};
    if (path.ends_with(kDeletedMark)) {
        mapping.path = path.substr(0, path.size() - kDeletedMark.size());
        mapping.deleted = true;
    }
    return mapping;
}

// Reads a file of unknown, possibly large size in chunks up to `maximumBytes`.
std::optional<std::string> readBounded(int directory, const char* name, std::size_t maximumBytes)
{
    const UniqueFd file(openat(directory, name, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) {
        return std::nullopt;
    }
    std::string text;
    for (;;) {
        const std::size_t filled = text.size();
        if (filled > maximumBytes) {
            return std::nullopt;
        }
        text.resize(filled + kMapsChunkBytes);
        const ssize_t got = read(file.get(), text.data() + filled, kMapsChunkBytes);
        if (got < 0 && errno == EINTR) {
            text.resize(filled);
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        text.resize(filled + static_cast<std::size_t>(got));
        if (got == 0) {
            return text;
        }
    }
}

std::optional<std::pair<dev_t, ino_t>> namespaceIdentity(int directory, const char* name)
{
    struct stat status { };
    if (fstatat(directory, name, &status, 0) != 0) {
        return std::nullopt;
    }
    return std::pair(status.st_dev, status.st_ino);
}

} // namespace

const char* describe(PeerIntegrityRefusal refusal) noexcept
{
    switch (refusal) {
    case PeerIntegrityRefusal::unreadable:
        return "the peer's process entries could not be read";
    case PeerIntegrityRefusal::otherNamespace:
        return "the peer runs in another PID or mount namespace";
    case PeerIntegrityRefusal::traced:
        return "the peer is being traced";
    case PeerIntegrityRefusal::foreignCode:
        return "the peer runs code from a file that is not the system's";
    }
    return "unknown";
}

std::optional<std::int64_t> parseTracerPid(std::string_view status)
{
    constexpr std::string_view kKey = "TracerPid:";
    for (std::size_t start = 0; start < status.size();) {
        const std::size_t end = std::min(status.find('\n', start), status.size());
        std::string_view line = status.substr(start, end - start);
        start = end + 1;
        if (!line.starts_with(kKey)) {
            continue;
        }
        line.remove_prefix(kKey.size());
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        const auto value = text::parseDecimal<std::int64_t>(line);
        return value && *value >= 0 ? value : std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::vector<ExecutableMapping>> parseExecutableMappings(std::string_view maps)
{
    std::vector<ExecutableMapping> mappings;
    while (!maps.empty()) {
        const std::size_t end = maps.find('\n');
        if (end == std::string_view::npos) {
            return std::nullopt; // the kernel ends every line
        }
        bool executable = false;
        const auto mapping = parseMapsLine(maps.substr(0, end), executable);
        maps.remove_prefix(end + 1);
        if (!mapping) {
            return std::nullopt;
        }
        if (!executable || mapping->inode == 0) {
            continue;
        }
        if (!mapping->path.starts_with('/')) {
            return std::nullopt; // a file-backed mapping always names its file
        }
        mappings.push_back(*mapping);
    }
    return mappings;
}

bool isSystemFile(const struct stat& status) noexcept
{
    return S_ISREG(status.st_mode) && status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isMappedFile(const ExecutableMapping& mapping, const struct stat& status) noexcept
{
    return major(status.st_dev) == mapping.deviceMajor && minor(status.st_dev) == mapping.deviceMinor &&
        status.st_ino == mapping.inode;
}

bool mayStall(std::int64_t fileSystemType) noexcept
{
    constexpr std::int64_t kStallable[] = {
        0x6969, // NFS
        0x517B, // SMB
        0xFF534D42, // CIFS
        0xFE534D42, // SMB2
        0x65735546, // FUSE (sshfs, virtiofs and the like)
        0x00C36400, // Ceph
        0x5346414F, // AFS
        0x6B414653, // kAFS
        0x01021997, // 9P
        0x73757245, // Coda
        0x564C, // NCP
        0x47504653, // GPFS
        0x0BD00BD0, // Lustre
        0x013111A8, // IBRIX
        0x19830326, // FhGFS / BeeGFS
    };
    return std::find(std::begin(kStallable), std::end(kStallable), fileSystemType) != std::end(kStallable);
}

bool mayStall(int fd) noexcept
{
    struct statfs fileSystem { };
    return fstatfs(fd, &fileSystem) != 0 || mayStall(static_cast<std::int64_t>(fileSystem.f_type));
}

PeerIntegrity::PeerIntegrity(std::string procRoot) : procRoot_(std::move(procRoot))
{
    const UniqueFd self(open((procRoot_ + "/self").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (self) {
        pidNamespace_ = namespaceIdentity(self.get(), "ns/pid");
        mountNamespace_ = namespaceIdentity(self.get(), "ns/mnt");
    }
}

UniqueFd PeerIntegrity::openProcessDirectory(int pid) const
{
    return UniqueFd(open((procRoot_ + "/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::optional<PeerIntegrityRefusal> PeerIntegrity::check(int processDirectory, const struct stat& executable) const
{
    if (!pidNamespace_ || !mountNamespace_) {
        return PeerIntegrityRefusal::unreadable;
    }
    const auto pidNamespace = namespaceIdentity(processDirectory, "ns/pid");
    const auto mountNamespace = namespaceIdentity(processDirectory, "ns/mnt");
    if (!pidNamespace || !mountNamespace) {
        return PeerIntegrityRefusal::unreadable;
    }
    if (*pidNamespace != *pidNamespace_ || *mountNamespace != *mountNamespace_) {
        return PeerIntegrityRefusal::otherNamespace;
    }

    const auto status = readBounded(processDirectory, "status", kMaximumStatusBytes);
    const auto tracer = status ? parseTracerPid(*status) : std::nullopt;
    if (!tracer) {
        return PeerIntegrityRefusal::unreadable;
    }
    if (*tracer != 0) {
        return PeerIntegrityRefusal::traced;
    }

    // The peer's own executable is known by path as well as by identity: maps and stat disagree
    // on device numbers for btrfs subvolumes and overlay mounts.
    std::array<char, PATH_MAX> link {};
    const ssize_t linkLength = readlinkat(processDirectory, "exe", link.data(), link.size());
    const std::string_view executablePath = linkLength > 0 && static_cast<std::size_t>(linkLength) < link.size()
        ? std::string_view(link.data(), static_cast<std::size_t>(linkLength))
        : std::string_view();

    const auto maps = readBounded(processDirectory, "maps", kMaximumMapsBytes);
    const auto mappings = maps ? parseExecutableMappings(*maps) : std::nullopt;
    if (!mappings) {
        return PeerIntegrityRefusal::unreadable;
    }
    const ExecutableMapping* previous = nullptr;
    for (const ExecutableMapping& mapping : *mappings) {
        // A library usually has one executable mapping, but a file may be mapped more than once.
        if (previous != nullptr && previous->inode == mapping.inode && previous->deviceMajor == mapping.deviceMajor &&
            previous->deviceMinor == mapping.deviceMinor) {
            continue;
        }
        previous = &mapping;
        if (isMappedFile(mapping, executable) || (!mapping.deleted && mapping.path == executablePath)) {
            continue;
        }
        if (mapping.deleted) {
            return PeerIntegrityRefusal::foreignCode; // nothing left to look at, nothing to trust
        }
        // The kernel writes the path of the mapped file as seen from the reader's root, and the peer
        // shares our mount namespace, so the path follows the file through renames: a file the user
        // owns or could write never shows under a path of a root-owned, write-protected file. The
        // device and inode are not compared, because btrfs subvolumes and overlay mounts report
        // other numbers in maps than stat does for the very same file.
        const std::string path(mapping.path);
        struct stat file { };
        if (stat(path.c_str(), &file) != 0 || !isSystemFile(file)) {
            return PeerIntegrityRefusal::foreignCode;
        }
    }
    return std::nullopt;
}

} // namespace quorvantile
