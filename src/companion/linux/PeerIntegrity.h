#pragma once

#include "common/UniqueFd.h"

#include <sys/stat.h>

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

enum class PeerIntegrityRefusal {
    unreadable, // the peer's /proc entries could not be read
    otherNamespace, // another PID or mount namespace than the companion's
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

// The system's own code: owned by root and writable by nobody else.
[[nodiscard]] bool isSystemFile(const struct stat& status) noexcept;

// Whether `status` describes the very file a mapping names.
[[nodiscard]] bool isMappedFile(const ExecutableMapping& mapping, const struct stat& status) noexcept;

// Whether a file system of this type (statfs magic) may stall a read indefinitely: network file
// systems and file systems served from user space.
[[nodiscard]] bool mayStall(std::int64_t fileSystemType) noexcept;

// The same for the file system of an open file; true when it cannot be told.
[[nodiscard]] bool mayStall(int fd) noexcept;

class PeerIntegrity {
public:
    // Reads the companion's own namespaces below `procRoot`; without them every peer is refused.
    explicit PeerIntegrity(std::string procRoot);

    // <procRoot>/<pid> opened as a directory; the caller must then confirm that its pidfd still
    // names a live process, so that the directory is the pinned process's.
    [[nodiscard]] UniqueFd openProcessDirectory(int pid) const;

    // Checks the process whose /proc directory is `processDirectory` and whose verified executable
    // has the status `executable`. nullopt when the peer passes.
    [[nodiscard]] std::optional<PeerIntegrityRefusal> check(int processDirectory, const struct stat& executable) const;

private:
    std::string procRoot_;
    std::optional<std::pair<dev_t, ino_t>> pidNamespace_;
    std::optional<std::pair<dev_t, ino_t>> mountNamespace_;
};

} // namespace quorvantile
