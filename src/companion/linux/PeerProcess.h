#pragma once

#include "common/UniqueFd.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

// The process at the other end of a connected UNIX-domain socket, pinned by a pidfd so that its pid
// cannot silently come to name another process while it is being examined. Always the real /proc:
// the kernel calls act on real processes, so what is read about them must be the kernel's too.
namespace quorvantile {

// How the pidfd is obtained. `socketOption` asks the kernel for the peer's pidfd (SO_PEERPIDFD) and
// falls back to pidfd_open only where the kernel does not know the option; `processIdentifier`
// always uses pidfd_open on the SO_PEERCRED pid with the start-time check (so that tests exercise
// that path on new kernels too).
enum class PeerPidfdSource { socketOption, processIdentifier };

struct PeerProcess {
    pid_t pid = 0;
    UniqueFd pidfd;
    PeerPidfdSource pidfdSource = PeerPidfdSource::processIdentifier;
    // For a pidfd opened from the pid: the start time seen right after opening it, compared again
    // once the examination is done.
    std::optional<std::uint64_t> startTime;
};

// The peer of `fd`; absent on any failure.
[[nodiscard]] std::optional<PeerProcess> peerProcess(int fd, PeerPidfdSource source);

// /proc/<pid> of the pinned process, opened as a directory: what is read relative to it describes that
// process, or nothing once it has gone. Invalid when it cannot be opened or the process was no longer
// alive after the open (the directory might then be a successor's under the same pid).
[[nodiscard]] UniqueFd openProcessDirectory(const PeerProcess& process);

// The pidfd still names a process that has not been reaped, so its pid still names that process.
[[nodiscard]] bool isAlive(const PeerProcess& process) noexcept;

// For a pidfd opened from the pid: the process's start time is still the one seen at the start.
// Always true for the pidfd the kernel recorded for the socket, which cannot name another process.
[[nodiscard]] bool keptItsStartTime(const PeerProcess& process);

} // namespace quorvantile
