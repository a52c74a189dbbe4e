#include "companion/linux/PeerProcess.h"

#include "common/FileText.h"
#include "common/linux/ProcessStat.h"
#include "companion/PeerCredentials.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77 // Linux 6.5; older C library headers lack it
#endif

namespace quorvantile {
namespace {

// A stat line is a few hundred bytes; the command name is at most 64.
constexpr std::size_t kMaximumStatBytes = 4096;

std::string processPath(pid_t pid, std::string_view entry)
{
    return "/proc/" + std::to_string(pid) + (entry.empty() ? "" : "/") + std::string(entry);
}

// The system calls directly: the C library's <sys/pidfd.h> of Debian 12 lacks C linkage for C++.
int openPidfd(pid_t pid) noexcept { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U)); }

bool signalPidfd(int pidfd, int signal) noexcept
{
    return syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U) == 0;
}

std::optional<std::uint64_t> startTime(pid_t pid)
{
    const auto stat = readWholeFile(AT_FDCWD, processPath(pid, "stat"), kMaximumStatBytes);
    const auto fields = stat ? procfs::parseStat(*stat) : std::nullopt;
    return fields ? std::optional(fields->startTicks) : std::nullopt;
}

} // namespace

std::optional<PeerProcess> peerProcess(int fd, PeerPidfdSource source)
{
    const auto credentials = peerCredentials(fd);
    if (!credentials || credentials->pid <= 0) {
        return std::nullopt;
    }
    PeerProcess process;
    process.pid = credentials->pid;
    if (source == PeerPidfdSource::socketOption) {
        int pidfd = -1;
        socklen_t length = sizeof pidfd;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0) {
            process.pidfd.reset(pidfd);
            if (length != sizeof pidfd || !process.pidfd) {
                return std::nullopt;
            }
            process.pidfdSource = PeerPidfdSource::socketOption;
            return process;
        }
        if (errno != ENOPROTOOPT) {
            return std::nullopt;
        }
    }
    // Without the kernel's pidfd for the socket the pid is pinned only now. Its start time is read
    // now and again at the end (keptItsStartTime). A pid reused before this point cannot be told
    // apart here; kernels from 6.5 on close that gap with SO_PEERPIDFD.
    process.pidfd.reset(openPidfd(process.pid));
    if (!process.pidfd) {
        return std::nullopt;
    }
    process.startTime = startTime(process.pid);
    if (!process.startTime) {
        return std::nullopt;
    }
    return process;
}

UniqueFd openProcessDirectory(const PeerProcess& process)
{
    UniqueFd directory(open(processPath(process.pid, "").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory && isAlive(process) ? std::move(directory) : UniqueFd();
}

bool isAlive(const PeerProcess& process) noexcept { return process.pidfd && signalPidfd(process.pidfd.get(), 0); }

bool keptItsStartTime(const PeerProcess& process)
{
    if (process.pidfdSource == PeerPidfdSource::socketOption) {
        return true;
    }
    return process.startTime && startTime(process.pid) == process.startTime;
}

} // namespace quorvantile
