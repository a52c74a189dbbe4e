#pragma once

#include "common/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The mounts of a mount namespace as /proc/<pid>/mountinfo lists them, and what the trust checks need
// to know of each: whether a read from it may wait forever, and whether its owners, modes and times
// say only what a user chose. The one place for the peer check, the build-id read and the quit lookup.
// Only code under linux/ includes this.
namespace quorvantile::mounts {

struct Mount {
    std::uint64_t id = 0; // as statx(STATX_MNT_ID) reports it
    std::uint64_t parentId = 0;
    std::uint32_t deviceMajor = 0; // the file system's, as /proc/<pid>/maps shows it
    std::uint32_t deviceMinor = 0;
    std::string root; // the folder of the file system that appears at the mount point
    std::string mountPoint; // "\NNN" escapes undone
    std::string type; // with its subtype: "ext4", "fuse.sshfs"
    std::string superOptions; // "rw,name=systemd"
    bool noSuid = false;

    friend bool operator==(const Mount&, const Mount&) = default;
};

// Every line of a mountinfo text; absent when a line is malformed.
[[nodiscard]] std::optional<std::vector<Mount>> parseMountInfo(std::string_view text);

// Network and user-space file systems (and the automounter that mounts them): a read or a lookup
// there may wait for a server or a daemon without end.
[[nodiscard]] bool mayStall(std::string_view type) noexcept;

// Whether owners and modes on `mount` are only what whoever made it chose: every mount an
// unprivileged user can make is nosuid (fusermount and udisks force it), a FUSE daemon reports any
// owner it likes, and a network file system's owners are the server's.
[[nodiscard]] bool isUserControlled(const Mount& mount) noexcept;

// Whether a file's identity (device, inode, size, modification and change times) pins its bytes:
// not on a user-controlled mount, nor on a file system that keeps no change time of its own (FAT
// and its like keep it equal to the modification time, which any writer can set back).
[[nodiscard]] bool keepsFileIdentity(const Mount& mount) noexcept;

// A parsed mount table kept until the kernel reports a change: poll on an open mountinfo file
// reports POLLPRI once the table changed after the last poll, so a refresh costs one poll while
// nothing changed. Not thread-safe.
class MountTable {
public:
    // 100,000 mounts (the kernel's default fs.mount-max) of 640 bytes a line fit; hosts with
    // thousands of container mounts stay far below.
    static constexpr std::size_t kMaximumBytes = 64 * 1024 * 1024;

    explicit MountTable(std::string path = "/proc/self/mountinfo");

    // Reads the table when it was never read or changed since; false when it cannot be read whole.
    [[nodiscard]] bool refresh();

    [[nodiscard]] const std::vector<Mount>& mounts() const noexcept { return mounts_; }
    [[nodiscard]] const Mount* find(std::uint64_t id) const noexcept;

    // The mount of the file at `path` on the device major:minor, as /proc/<pid>/maps gives both: of
    // the mounts of that device, the one whose mount point is the longest leading part of `path`
    // (whole components). Null when none is.
    [[nodiscard]] const Mount* findByDevice(std::uint32_t major, std::uint32_t minor, std::string_view path) const;

    // Whether `mount` or any mount it sits on may stall: a lookup of its mount point walks them all.
    [[nodiscard]] bool mayStallOnTheWay(const Mount& mount) const noexcept;

    // Whether any mount whose mount point leads to `path` may stall: the file at that path lies on
    // one of them, whichever covers it now.
    [[nodiscard]] bool mayStallAlong(std::string_view path) const noexcept;

    // Whether any mount of the table may stall; most tables have none.
    [[nodiscard]] bool anyMayStall() const noexcept { return anyMayStall_; }

private:
    std::string path_;
    UniqueFd file_;
    std::string buffer_;
    std::vector<Mount> mounts_;
    bool anyMayStall_ = false;
    bool current_ = false;
};

} // namespace quorvantile::mounts
