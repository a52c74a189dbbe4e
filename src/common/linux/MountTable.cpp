#include "common/linux/MountTable.h"

#include "common/FileText.h"
#include "common/Numbers.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>

namespace quorvantile::mounts {
namespace {

// Network file systems, cluster file systems that wait for their peers, FUSE (sshfs, gvfs, any
// daemon of the user's) and its in-kernel relatives, and the automounter, whose lookups mount them.
constexpr std::array<std::string_view, 26> kStallableTypes {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "ncp",
    "ceph", "afs", "coda", "9p", "gpfs", "lustre", "beegfs", "fhgfs", "glusterfs", "ocfs2", "gfs2", "orangefs", "pvfs2",
    "fuse", "fuseblk", "virtiofs", "vboxsf", "davfs", "autofs"};

// File systems without a change time of their own (or one a writer can set), which desktops mount
// for the user from removable media and images.
constexpr std::array<std::string_view, 9> kForgeableTimeTypes {
    "vfat", "msdos", "umsdos", "exfat", "ntfs", "ntfs3", "hfs", "hfsplus", "udf"};

// mountinfo writes space, tab, line feed and backslash in paths as three octal digits.
std::string unescaped(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '\\' && index + 4 <= text.size()) {
            unsigned value = 0;
            const char* digits = text.data() + index + 1;
            if (std::from_chars(digits, digits + 3, value, 8).ptr == digits + 3 && value < 256) {
                result += static_cast<char>(value);
                index += 3;
                continue;
            }
        }
        result += text[index];
    }
    return result;
}

// The next field up to a space (or the end), removed from `text`.
std::string_view nextField(std::string_view& text)
{
    const std::size_t space = text.find(' ');
    const std::string_view field = text.substr(0, space);
    text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
    return field;
}

bool hasOption(std::string_view options, std::string_view wanted)
{
    while (!options.empty()) {
        const std::size_t comma = options.find(',');
        if (options.substr(0, comma) == wanted) {
            return true;
        }
        options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
    }
    return false;
}

std::optional<Mount> parseLine(std::string_view line)
{
    Mount mount;
    const auto id = text::parseDecimal<std::uint64_t>(nextField(line));
    const auto parentId = text::parseDecimal<std::uint64_t>(nextField(line));
    const std::string_view device = nextField(line);
    const std::size_t colon = device.find(':');
    const auto major = text::parseDecimal<std::uint32_t>(device.substr(0, colon));
    const auto minor =
        colon == std::string_view::npos ? std::nullopt : text::parseDecimal<std::uint32_t>(device.substr(colon + 1));
    const std::string_view root = nextField(line);
    const std::string_view mountPoint = nextField(line);
    const std::string_view options = nextField(line);
    // The root is a path, or for a bound namespace file its name ("net:[4026532008]").
    if (!id || !parentId || !major || !minor || root.empty() || !mountPoint.starts_with('/')) {
        return std::nullopt;
    }
    // Optional fields ("shared:1", "master:2" …) end at a lone hyphen.
    for (std::string_view field = nextField(line); field != "-"; field = nextField(line)) {
        if (field.empty()) {
            return std::nullopt;
        }
    }
    const std::string_view type = nextField(line);
    nextField(line); // the source
    const std::string_view superOptions = nextField(line);
    // The kernel always writes the super options, at least "rw" or "ro".
    if (type.empty() || superOptions.empty()) {
        return std::nullopt;
    }
    mount.id = *id;
    mount.parentId = *parentId;
    mount.deviceMajor = *major;
    mount.deviceMinor = *minor;
    mount.root = unescaped(root);
    mount.mountPoint = unescaped(mountPoint);
    mount.type = unescaped(type);
    mount.superOptions = std::string(superOptions);
    mount.noSuid = hasOption(options, "nosuid");
    return mount;
}

// Whether `prefix` is `path` or leads to it along whole components.
bool leadsTo(std::string_view prefix, std::string_view path)
{
    if (!path.starts_with(prefix)) {
        return false;
    }
    return prefix.ends_with('/') || path.size() == prefix.size() || path[prefix.size()] == '/';
}

} // namespace

std::optional<std::vector<Mount>> parseMountInfo(std::string_view text)
{
    std::vector<Mount> mounts;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        auto mount = parseLine(text.substr(0, end));
        if (!mount) {
            return std::nullopt;
        }
        mounts.push_back(std::move(*mount));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return mounts;
}

bool mayStall(std::string_view type) noexcept
{
    // FUSE names its file systems "fuse.<subtype>" and "fuseblk.<subtype>".
    const std::string_view base = type.substr(0, type.find('.'));
    return std::find(kStallableTypes.begin(), kStallableTypes.end(), base) != kStallableTypes.end();
}

bool isUserControlled(const Mount& mount) noexcept { return mount.noSuid || mayStall(mount.type); }

bool keepsFileIdentity(const Mount& mount) noexcept
{
    return !isUserControlled(mount) &&
        std::find(kForgeableTimeTypes.begin(), kForgeableTimeTypes.end(), mount.type) == kForgeableTimeTypes.end();
}

MountTable::MountTable(std::string path) : path_(std::move(path)) { }

bool MountTable::refresh()
{
    if (!file_) {
        file_.reset(open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        current_ = false;
        if (!file_) {
            return false;
        }
    } else if (current_) {
        pollfd entry {file_.get(), POLLPRI, 0};
        const int polled = poll(&entry, 1, 0);
        if (polled == 0 || (polled > 0 && (entry.revents & (POLLPRI | POLLERR)) == 0)) {
            return true;
        }
    }
    current_ = false;
    // One byte beyond the limit tells a table that is too long from one that fills it.
    const auto text =
        lseek(file_.get(), 0, SEEK_SET) == 0 ? readFileStart(file_.get(), kMaximumBytes + 1, buffer_) : std::nullopt;
    auto parsed = text && text->size() <= kMaximumBytes ? parseMountInfo(*text) : std::nullopt;
    if (!parsed) {
        mounts_.clear();
        anyMayStall_ = false;
        return false;
    }
    mounts_ = std::move(*parsed);
    anyMayStall_ = std::any_of(mounts_.begin(), mounts_.end(), [](const Mount& mount) { return mayStall(mount.type); });
    current_ = true;
    return true;
}

const Mount* MountTable::find(std::uint64_t id) const noexcept
{
    const auto found =
        std::find_if(mounts_.begin(), mounts_.end(), [id](const Mount& mount) { return mount.id == id; });
    return found == mounts_.end() ? nullptr : &*found;
}

const Mount* MountTable::findByDevice(std::uint32_t major, std::uint32_t minor, std::string_view path) const
{
    const Mount* best = nullptr;
    for (const Mount& mount : mounts_) {
        // A later mount on the same point covers the earlier one, so ties go to the later.
        if (mount.deviceMajor == major && mount.deviceMinor == minor && leadsTo(mount.mountPoint, path) &&
            (best == nullptr || mount.mountPoint.size() >= best->mountPoint.size())) {
            best = &mount;
        }
    }
    return best;
}

bool MountTable::mayStallOnTheWay(const Mount& mount) const noexcept
{
    const Mount* current = &mount;
    // Bounded by the table's size, so that a table with a cycle cannot loop.
    for (std::size_t step = 0; current != nullptr && step <= mounts_.size(); ++step) {
        if (mayStall(current->type)) {
            return true;
        }
        if (current->parentId == current->id) {
            return false;
        }
        current = find(current->parentId); // the root's parent lies outside the table
    }
    return false;
}

bool MountTable::mayStallAlong(std::string_view path) const noexcept
{
    return std::any_of(mounts_.begin(), mounts_.end(),
        [path](const Mount& mount) { return leadsTo(mount.mountPoint, path) && mayStall(mount.type); });
}

} // namespace quorvantile::mounts
