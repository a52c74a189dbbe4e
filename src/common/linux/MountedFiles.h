#pragma once

#include "common/UniqueFd.h"
#include "common/linux/MountTable.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Files reached so that a file system that may stall is known before it is touched: a descriptor is
// opened with O_PATH (no open on the file system), its mount looked up in the mount table, and only
// then is the file opened for reading. Only code under linux/ includes this.
namespace quorvantile::mounts {

// What statx says of a file without asking a file system's server (AT_STATX_DONT_SYNC).
struct FileStatus {
    std::uint64_t mountId = 0;
    std::uint64_t device = 0; // st_dev, as stat reports it
    std::uint64_t inode = 0;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint64_t size = 0;
    std::int64_t modificationSeconds = 0;
    std::int64_t modificationNanoseconds = 0;
    std::int64_t changeSeconds = 0;
    std::int64_t changeNanoseconds = 0;
};

// Of `name` relative to `directory` (the descriptor itself when `name` is empty; a final symbolic
// link is not followed unless `follow`). Absent on an error or where the kernel cannot name the mount.
[[nodiscard]] std::optional<FileStatus> fileStatus(int directory, const char* name = "", bool follow = false);

// Where a magic link of /proc leads (`name` in the /proc/<pid> folder `processDirectory`: "exe",
// "root"), without opening it. The link's text is read first, which touches no file system, and no
// mount along that path may stall: following the link revalidates its target on NFS.
struct LinkTarget {
    FileStatus status;
    const Mount* mount = nullptr; // in the table given; null when `mayStall`
    bool mayStall = false;
};

// Absent when the link cannot be read or followed, or its target's mount is not in `table`.
[[nodiscard]] std::optional<LinkTarget> linkTarget(int processDirectory, const char* name, const MountTable& table);

// The link's target opened with `flags`, when it is still `target` (same mount and inode); invalid
// otherwise. Only for a target found not to stall.
[[nodiscard]] UniqueFd openLinkTarget(int processDirectory, const char* name, const LinkTarget& target, int flags);

// The object of an O_PATH descriptor opened again for reading (through /proc/self/fd), without a
// path lookup. Only for a file whose mount was found not to stall.
[[nodiscard]] UniqueFd reopenForReading(int pathDescriptor);

// An O_PATH descriptor of `absolutePath`, looked up one component at a time so that nothing is
// looked up in a folder whose mount may stall (nor the final object reached on one); symbolic links
// are followed, at most 40 of them. Absent when a mount on the way may stall (so whether the path
// exists cannot be told); an invalid descriptor when the path does not resolve. `table` must be fresh.
[[nodiscard]] std::optional<UniqueFd> openWithoutStalling(std::string_view absolutePath, const MountTable& table);

// The regular file that the O_PATH descriptor `file` names, read whole, when its mount is in
// `table` and cannot stall and it holds at most `maximumBytes`; absent otherwise.
[[nodiscard]] std::optional<std::string> readSteadyFile(int file, const MountTable& table, std::size_t maximumBytes);

} // namespace quorvantile::mounts
