#include "companion/linux/PeerIntegrity.h"

#include "common/FileText.h"
#include "common/Numbers.h"
#include "common/UniqueFd.h"
#include "common/linux/MountTable.h"
#include "common/linux/MountedFiles.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <utility>

namespace quorvantile {
namespace {

// A status text is about 1.5 KB.
constexpr std::size_t kMaximumStatusBytes = 64 * 1024;
// Maps of a large program run to a few hundred kilobytes; a peer with more is not one of ours.
constexpr std::size_t kMaximumMapsBytes = 8 * 1024 * 1024;
constexpr std::string_view kDeletedMark = " (deleted)";
// As many mappings as a process may have (vm.max_map_count is 65,530 by default).
constexpr std::size_t kMaximumMappings = 65536;

// The kernel's PROCMAP_QUERY of /proc/<pid>/maps (Linux 6.11): one mapping at a time, filtered in the
// kernel, without writing the text of every mapping. Older headers lack it, so its layout is here.
struct MapQuery {
    std::uint64_t size = sizeof(MapQuery);
    std::uint64_t queryFlags = 0;
    std::uint64_t queryAddress = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t flags = 0;
    std::uint64_t pageSize = 0;
    std::uint64_t offset = 0;
    std::uint64_t inode = 0;
    std::uint32_t deviceMajor = 0;
    std::uint32_t deviceMinor = 0;
    std::uint32_t nameSize = 0;
    std::uint32_t buildIdSize = 0;
    std::uint64_t nameAddress = 0;
    std::uint64_t buildIdAddress = 0;
};
static_assert(sizeof(MapQuery) == 104);
constexpr std::uint64_t kQueryExecutable = 0x04;
constexpr std::uint64_t kQueryCoveringOrNext = 0x10;
constexpr std::uint64_t kQueryFileBacked = 0x20;
constexpr unsigned long kProcMapQuery = _IOWR('f', 17, MapQuery);

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

// Fills `names` with the path of each mapping in turn and `mappings` with them; false when the kernel
// does not know the query (then `errno` is ENOTTY) or it fails.
bool queryExecutableMappings(int maps, std::string& names, std::vector<ExecutableMapping>& mappings)
{
    std::vector<std::pair<std::size_t, std::size_t>> spans; // of each path in `names`
    std::array<char, PATH_MAX + kDeletedMark.size() + 1> name {};
    names.clear();
    for (std::uint64_t address = 0; mappings.size() < kMaximumMappings;) {
        MapQuery query;
        query.queryFlags = kQueryCoveringOrNext | kQueryExecutable | kQueryFileBacked;
        query.queryAddress = address;
        query.nameAddress = reinterpret_cast<std::uintptr_t>(name.data());
        query.nameSize = static_cast<std::uint32_t>(name.size());
        if (ioctl(maps, kProcMapQuery, &query) != 0) {
            if (errno != ENOENT) {
                return false;
            }
            for (std::size_t index = 0; index < mappings.size(); ++index) {
                mappings[index].path = std::string_view(names).substr(spans[index].first, spans[index].second);
            }
            return true;
        }
        if (query.nameSize == 0 || query.end <= address) {
            return false;
        }
        address = query.end;
        std::string_view path(name.data(), query.nameSize - 1); // the size counts the final zero
        ExecutableMapping mapping {query.deviceMajor, query.deviceMinor, query.inode, {}, false};
        if (path.ends_with(kDeletedMark)) {
            path.remove_suffix(kDeletedMark.size());
            mapping.deleted = true;
        }
        if (mapping.inode == 0) {
            continue; // as the text leaves them out
        }
        if (!path.starts_with('/')) {
            return false;
        }
        spans.emplace_back(names.size(), path.size());
        names.append(path);
        mappings.push_back(mapping);
    }
    return false;
}

// A namespace as its link names it, "user:[4026531837]": its kind and its inode on the one nsfs. Reading
// the link is much cheaper than a stat through it, which makes a dentry and an inode each time.
std::optional<std::string> namespaceIdentity(int directory, const char* name)
{
    std::array<char, 64> text {};
    const ssize_t length = readlinkat(directory, name, text.data(), text.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) {
        return std::nullopt;
    }
    return std::string(text.data(), static_cast<std::size_t>(length));
}

// Examines the files of a peer's mappings through their mounts, never by a path looked up afresh from
// the root: each mount's root is opened once by its mount point and must be that very mount (not
// one stacked on it later), each folder once, and a file is then looked at within its mount only,
// crossing no symbolic link and no other mount. A path swapped after maps was read therefore cannot
// lead to another file system, and nothing is looked up below a mount that may stall.
class MappedFiles {
public:
    // `root` is a descriptor of this process's root folder kept from check to check, on the mount
    // `rootMountId`, where most libraries live; other mounts are opened for one check only, so that
    // nothing here keeps them from being unmounted.
    MappedFiles(const mounts::MountTable& table, int root, std::uint64_t rootMountId)
        : table_(table), root_(root), rootMountId_(rootMountId)
    {
    }

    // Whether `mapping` is a system file: on a mount no user could have made, and the file at its
    // path there is the very inode mapped, owned by root and writable by nobody else.
    [[nodiscard]] bool isSystemCode(const ExecutableMapping& mapping)
    {
        const mounts::Mount* mount = table_.findByDevice(mapping.deviceMajor, mapping.deviceMinor, mapping.path);
        if (mount == nullptr || mounts::isUserControlled(*mount) || table_.mayStallOnTheWay(*mount)) {
            return false;
        }
        std::string_view relative = mapping.path.substr(mount->mountPoint.size());
        relative.remove_prefix(std::min(relative.find_first_not_of('/'), relative.size()));
        const int root = mountRoot(*mount);
        const std::size_t slash = relative.rfind('/');
        const int directory =
            root < 0 || slash == std::string_view::npos ? root : folder(*mount, root, relative.substr(0, slash));
        const std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
        const auto status = directory < 0 ? std::nullopt : mounts::fileStatus(directory, name.c_str());
        return status && status->mountId == mount->id && status->inode == mapping.inode &&
            isSystemFile(status->mode, status->uid);
    }

private:
    int mountRoot(const mounts::Mount& mount)
    {
        if (mount.id == rootMountId_ && root_ >= 0) {
            return root_;
        }
        for (const auto& [id, fd] : roots_) {
            if (id == mount.id) {
                return fd.get();
            }
        }
        UniqueFd root(open(mount.mountPoint.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        const auto status = root ? mounts::fileStatus(root.get()) : std::nullopt;
        if (!status || status->mountId != mount.id) {
            root.reset();
        }
        return roots_.emplace_back(mount.id, std::move(root)).second.get();
    }

    int folder(const mounts::Mount& mount, int root, std::string_view relativeFolder)
    {
        std::string key = std::to_string(mount.id);
        key.append(":").append(relativeFolder);
        for (const auto& [known, fd] : folders_) {
            if (known == key) {
                return fd.get();
            }
        }
        open_how how {};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
        const std::string path(relativeFolder);
        UniqueFd fd(static_cast<int>(syscall(SYS_openat2, root, path.c_str(), &how, sizeof how)));
        return folders_.emplace_back(std::move(key), std::move(fd)).second.get();
    }

    const mounts::MountTable& table_;
    int root_;
    std::uint64_t rootMountId_;
    std::vector<std::pair<std::uint64_t, UniqueFd>> roots_;
    std::vector<std::pair<std::string, UniqueFd>> folders_;
};

} // namespace

const char* describe(PeerIntegrityRefusal refusal) noexcept
{
    switch (refusal) {
    case PeerIntegrityRefusal::unreadable:
        return "the peer's process entries or the mount table could not be read";
    case PeerIntegrityRefusal::stallableExecutable:
        return "the peer's executable lies on a file system that may stall";
    case PeerIntegrityRefusal::otherNamespace:
        return "the peer runs in another user, PID or mount namespace";
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

bool isSystemFile(std::uint32_t mode, std::uint32_t uid) noexcept
{
    return S_ISREG(mode) && uid == 0 && (mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<std::vector<ExecutableMapping>> PeerIntegrity::executableMappings(int processDirectory)
{
    const UniqueFd maps(openat(processDirectory, "maps", O_RDONLY | O_CLOEXEC));
    if (!maps) {
        return std::nullopt;
    }
    std::vector<ExecutableMapping> mappings;
    if (queryExecutableMappings(maps.get(), mapsText_, mappings)) {
        return mappings;
    }
    if (errno != ENOTTY) {
        return std::nullopt;
    }
    // Kernels before 6.11: the whole text, a page at a time.
    std::string& text = mapsText_;
    const auto read = readFileStart(maps.get(), kMaximumMapsBytes + 1, text);
    return read && read->size() <= kMaximumMapsBytes ? parseExecutableMappings(*read) : std::nullopt;
}

PeerIntegrity::PeerIntegrity()
{
    const UniqueFd self(open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (self) {
        userNamespace_ = namespaceIdentity(self.get(), "ns/user");
        pidNamespace_ = namespaceIdentity(self.get(), "ns/pid");
        mountNamespace_ = namespaceIdentity(self.get(), "ns/mnt");
    }
    root_.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const auto root = root_ ? mounts::fileStatus(root_.get()) : std::nullopt;
    if (!root) {
        root_.reset();
    }
    rootMountId_ = root ? root->mountId : 0;
}

std::optional<PeerIntegrityRefusal> PeerIntegrity::check(
    int processDirectory, const MappedExecutable& executable, const mounts::MountTable& mounts)
{
    if (!userNamespace_ || !pidNamespace_ || !mountNamespace_) {
        return PeerIntegrityRefusal::unreadable;
    }
    // A process in a user namespace of its own can point its exe link at any file (PR_SET_MM_MAP)
    // without running it; one in another PID or mount namespace sees other files under our paths.
    const auto userNamespace = namespaceIdentity(processDirectory, "ns/user");
    const auto pidNamespace = namespaceIdentity(processDirectory, "ns/pid");
    const auto mountNamespace = namespaceIdentity(processDirectory, "ns/mnt");
    if (!userNamespace || !pidNamespace || !mountNamespace) {
        return PeerIntegrityRefusal::unreadable;
    }
    if (*userNamespace != *userNamespace_ || *pidNamespace != *pidNamespace_ || *mountNamespace != *mountNamespace_) {
        return PeerIntegrityRefusal::otherNamespace;
    }

    // status is made in one piece, so a short read is its end; maps comes a page at a time.
    const auto status = readWholeFile(processDirectory, "status", kMaximumStatusBytes, statusText_, FileEnd::shortRead);
    const auto tracer = status ? parseTracerPid(*status) : std::nullopt;
    if (!tracer) {
        return PeerIntegrityRefusal::unreadable;
    }
    if (*tracer != 0) {
        return PeerIntegrityRefusal::traced;
    }

    const auto mappings = executableMappings(processDirectory);
    if (!mappings) {
        return PeerIntegrityRefusal::unreadable;
    }
    MappedFiles files(mounts, root_.get(), rootMountId_);
    const ExecutableMapping* previous = nullptr;
    for (const ExecutableMapping& mapping : *mappings) {
        // A library usually has one executable mapping, but a file may be mapped more than once.
        if (previous != nullptr && previous->inode == mapping.inode && previous->deviceMajor == mapping.deviceMajor &&
            previous->deviceMinor == mapping.deviceMinor) {
            continue;
        }
        previous = &mapping;
        // The executable is known by its identity, never by its path: a path can name another file
        // by the time it is compared.
        if (mapping.deviceMajor == executable.deviceMajor && mapping.deviceMinor == executable.deviceMinor &&
            mapping.inode == executable.inode) {
            continue;
        }
        // Nothing is left to look at for a deleted file, and a file at its old path is another one.
        if (mapping.deleted || !files.isSystemCode(mapping)) {
            return PeerIntegrityRefusal::foreignCode;
        }
    }
    return std::nullopt;
}

} // namespace quorvantile
