#include "common/linux/MountedFiles.h"

#include "common/FileText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <deque>
#include <string>

namespace quorvantile::mounts {
namespace {

// As many symbolic links as the kernel follows in one lookup.
constexpr int kMaximumLinks = 40;

// Splits `path` at slashes into `components`, in front of what is there already.
void prependComponents(std::string_view path, std::deque<std::string>& components)
{
    std::deque<std::string> pieces;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view piece = path.substr(0, slash);
        if (!piece.empty() && piece != ".") {
            pieces.emplace_back(piece);
        }
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    components.insert(components.begin(), pieces.begin(), pieces.end());
}

// The descriptor's mount is in the table and does not stall.
bool onSteadyMount(const FileStatus& status, const MountTable& table)
{
    const Mount* mount = table.find(status.mountId);
    return mount != nullptr && !mayStall(mount->type);
}

} // namespace

std::optional<FileStatus> fileStatus(int directory, const char* name, bool follow)
{
    struct statx status { };
    const int flags =
        AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT | (follow ? 0 : AT_SYMLINK_NOFOLLOW) | (*name == '\0' ? AT_EMPTY_PATH : 0);
    if (statx(directory, name, flags, STATX_BASIC_STATS | STATX_MNT_ID, &status) != 0 ||
        (status.stx_mask & STATX_MNT_ID) == 0) {
        return std::nullopt;
    }
    return FileStatus {status.stx_mnt_id, makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino,
        status.stx_mode, status.stx_uid, status.stx_size, status.stx_mtime.tv_sec, status.stx_mtime.tv_nsec,
        status.stx_ctime.tv_sec, status.stx_ctime.tv_nsec};
}

UniqueFd reopenForReading(int pathDescriptor)
{
    const std::string link = "/proc/self/fd/" + std::to_string(pathDescriptor);
    return UniqueFd(open(link.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

std::optional<LinkTarget> linkTarget(int processDirectory, const char* name, const MountTable& table)
{
    LinkTarget target;
    // The text is only needed where some mount may stall.
    if (table.anyMayStall()) {
        std::array<char, PATH_MAX> text {};
        const ssize_t length = readlinkat(processDirectory, name, text.data(), text.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) {
            return std::nullopt;
        }
        if (table.mayStallAlong(std::string_view(text.data(), static_cast<std::size_t>(length)))) {
            target.mayStall = true;
            return target;
        }
    }
    const auto status = fileStatus(processDirectory, name, /*follow=*/true);
    target.mount = status ? table.find(status->mountId) : nullptr;
    if (target.mount == nullptr) {
        return std::nullopt;
    }
    target.status = *status;
    // The link may have been pointed elsewhere since its text was read.
    if (mayStall(target.mount->type)) {
        target.mount = nullptr;
        target.mayStall = true;
    }
    return target;
}

UniqueFd openLinkTarget(int processDirectory, const char* name, const LinkTarget& target, int flags)
{
    if (target.mayStall) {
        return {};
    }
    UniqueFd file(openat(processDirectory, name, flags | O_CLOEXEC | O_NOCTTY));
    const auto status = file ? fileStatus(file.get()) : std::nullopt;
    if (!status || status->mountId != target.status.mountId || status->inode != target.status.inode) {
        return {};
    }
    return file;
}

std::optional<UniqueFd> openWithoutStalling(std::string_view absolutePath, const MountTable& table)
{
    if (!absolutePath.starts_with('/')) {
        return UniqueFd();
    }
    const auto openRoot = [&table] {
        UniqueFd root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        const auto status = root ? fileStatus(root.get()) : std::nullopt;
        return status && onSteadyMount(*status, table) ? std::move(root) : UniqueFd();
    };
    UniqueFd current = openRoot();
    if (!current) {
        return std::nullopt;
    }
    std::deque<std::string> components;
    prependComponents(absolutePath, components);
    int links = 0;
    while (!components.empty()) {
        const std::string name = std::move(components.front());
        components.pop_front();
        // The folder looked in was found steady; what the lookup reached is checked before anything
        // is looked up in it (it may be the root of another mount).
        UniqueFd next(openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            return UniqueFd();
        }
        const auto status = fileStatus(next.get());
        if (!status || !onSteadyMount(*status, table)) {
            return std::nullopt;
        }
        if (!S_ISLNK(status->mode)) {
            current = std::move(next);
            continue;
        }
        std::array<char, PATH_MAX> target {};
        const ssize_t length = readlinkat(next.get(), "", target.data(), target.size());
        if (++links > kMaximumLinks || length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return UniqueFd();
        }
        const std::string_view targetPath(target.data(), static_cast<std::size_t>(length));
        prependComponents(targetPath, components);
        if (targetPath.starts_with('/')) {
            current = openRoot();
            if (!current) {
                return std::nullopt;
            }
        }
    }
    return current;
}

std::optional<std::string> readSteadyFile(int file, const MountTable& table, std::size_t maximumBytes)
{
    const auto status = fileStatus(file);
    if (!status || !S_ISREG(status->mode) || !onSteadyMount(*status, table)) {
        return std::nullopt;
    }
    const UniqueFd readable = reopenForReading(file);
    std::string buffer;
    // One byte beyond the limit tells a file that is too long from one that fills it.
    const auto text = readable ? readFileStart(readable.get(), maximumBytes + 1, buffer) : std::nullopt;
    if (!text || text->size() > maximumBytes) {
        return std::nullopt;
    }
    buffer.resize(text->size());
    return buffer;
}

} // namespace quorvantile::mounts
