#pragma once

#include "common/UniqueFd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a valid signature cannot prove on Linux: that nobody else drives the signed program. The
// checks here refuse a peer that another namespace, a tracer or a library the user could have
// written may be steering. They read the peer's /proc directory through a descriptor opened while
// the peer's pidfd pinned it, and they run on every connection: a process may change its mount
// namespace, gain a tracer or map a library at any moment, so none of it is remembered.
namespace quorvantile {

namespace mounts {
class MountTable;
} // namespace mounts

enum class PeerIntegrityRefusal {
    unreadable, // the peer's /proc entries or the mount table could not be read
    stallableExecutable, // the executable lies on a file system that may stall (network, FUSE)
    otherNamespace, // another user, PID or mount namespace than the companion's
    traced, // TracerPid is not 0
    foreignCode, // an executable mapping of a file that is neither the executable nor the system's
};

[[nodiscard]] const char* describe(PeerIntegrityRefusal refusal) noexcept;

// The TracerPid of a /proc/<pid>/status text; absent when the line is missing or malformed.
[[nodiscard]] std::optional<std::int64_t> parseTracerPid(std::string_view status);

// One file-backed executable mapping of /proc/<pid>/maps. `path` points into the parsed text.
struct ExecutableMapping {
    std::uint32_t deviceMajor = 0;
    std::uint32_t deviceMinor = 0;
    std::uint64_t inode = 0;
    std::string_view path; // absolute; without the kernel's " (deleted)" mark
    bool deleted = false;

    friend bool operator==(const ExecutableMapping&, const ExecutableMapping&) = default;
};

// Every executable mapping with a backing file (inode not 0) of a maps text, in order; absent
// when a line is malformed. Anonymous mappings and the kernel's [vdso]-like ones are left out.
[[nodiscard]] std::optional<std::vector<ExecutableMapping>> parseExecutableMappings(std::string_view maps);

// The system's own code: a regular file owned by root that neither group nor others may write.
[[nodiscard]] bool isSystemFile(std::uint32_t mode, std::uint32_t uid) noexcept;

// The verified executable as the peer's mappings name it: the device of its mount (maps gives the
// file system's device, which stat does not on btrfs) and its inode.
struct MappedExecutable {
    std::uint32_t deviceMajor = 0;
    std::uint32_t deviceMinor = 0;
    std::uint64_t inode = 0;
};

class PeerIntegrity {
public:
    // Reads the companion's own namespaces in /proc/self; without them every peer is refused.
    PeerIntegrity();

    // Checks the process whose /proc directory is `processDirectory` (opened while its pidfd pinned
    // it) and whose verified executable is `executable`, against the fresh mount table `mounts`.
    // nullopt when the peer passes.
    [[nodiscard]] std::optional<PeerIntegrityRefusal> check(
        int processDirectory, const MappedExecutable& executable, const mounts::MountTable& mounts);

private:
    // The executable mappings of the process, by the kernel's query where it has one, else from the
    // text of maps; their paths point into mapsText_.
    [[nodiscard]] std::optional<std::vector<ExecutableMapping>> executableMappings(int processDirectory);

    std::optional<std::string> userNamespace_;
    std::optional<std::string> pidNamespace_;
    std::optional<std::string> mountNamespace_;
    UniqueFd root_; // this process's root folder, and the id of its mount
    std::uint64_t rootMountId_ = 0;
    // Read buffers kept across checks, so that a check does not allocate for them.
    std::string statusText_;
    std::string mapsText_;
};

} // namespace quorvantile
