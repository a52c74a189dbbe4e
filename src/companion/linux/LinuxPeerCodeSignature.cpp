#include "companion/linux/LinuxPeerCodeSignature.h"

#include "codesign/FileReading.h"
#include "codesign/Requirement.h"

#include <sys/stat.h>

#include <ctime>

namespace quorvantile {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

std::optional<timespec> wallClock()
{
    timespec now {};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return std::nullopt;
    }
    return now;
}

} // namespace

LinuxPeerCodeSignature::LinuxPeerCodeSignature(std::string_view anchorsPem, LinuxPeerCodeSignatureOptions options)
    : verifier_(anchorsPem), cache_(options.cacheEntries, options.cacheUnsettledNanoseconds),
      integrity_(options.procRoot), options_(std::move(options))
{
}

bool LinuxPeerCodeSignature::peerSatisfies(int fd, std::string_view requirementText)
{
    lastIntegrityRefusal_.reset();
    const auto requirement = codesign::parseRequirement(requirementText);
    if (!requirement) {
        return false;
    }
    const auto process = peerProcess(fd, options_.pidfdSource, options_.procRoot);
    if (!process) {
        return false;
    }
    const UniqueFd executable = openExecutable(*process, options_.procRoot);
    // Alive after the open: the pid still named the pinned process when its executable was opened.
    if (!executable || !isAlive(*process)) {
        return false;
    }
    const auto signature = verifiedSignature(executable.get());
    if (!signature || !codesign::satisfies(*requirement, *signature)) {
        return false;
    }
    lastIntegrityRefusal_ = integrityRefusal(*process, executable.get());
    return !lastIntegrityRefusal_ && keptItsStartTime(*process, options_.procRoot);
}

std::optional<PeerIntegrityRefusal> LinuxPeerCodeSignature::integrityRefusal(const PeerProcess& process, int executable)
{
    const UniqueFd directory = integrity_.openProcessDirectory(process.pid);
    struct stat status { };
    // Alive after the open: the directory is the pinned process's, not a successor's under its pid.
    if (!directory || !isAlive(process) || fstat(executable, &status) != 0) {
        return PeerIntegrityRefusal::unreadable;
    }
    return integrity_.check(directory.get(), status);
}

std::optional<codesign::VerifiedSignature> LinuxPeerCodeSignature::verifiedSignature(int executable)
{
    const auto identity = codesign::regularFileIdentity(executable);
    const auto now = wallClock();
    if (!identity || !now) {
        return std::nullopt;
    }
    if (auto remembered = cache_.find(*identity, now->tv_sec)) {
        return remembered;
    }
    // Hashing reads the whole file inside the connection's deadline; on a file system that may
    // stall (network, user space) it could hold the server far longer, so such files are refused.
    if (mayStall(executable)) {
        return std::nullopt;
    }
    ++fullVerifications_;
    auto verified = verifier_.verify(executable);
    if (!verified) {
        return std::nullopt;
    }
    // Remembered under the identity seen before reading, and only if the file still has it.
    if (codesign::regularFileIdentity(executable) == identity) {
        cache_.remember(*identity, *verified, now->tv_sec * kNanosecondsPerSecond + now->tv_nsec);
    }
    return std::move(verified).value();
}

} // namespace quorvantile
