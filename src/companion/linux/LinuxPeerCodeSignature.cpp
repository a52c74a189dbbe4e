#include "companion/linux/LinuxPeerCodeSignature.h"

#include "codesign/FileReading.h"
#include "common/linux/MountedFiles.h"

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
    : verifier_(anchorsPem), cache_(options.cacheEntries, options.cacheUnsettledNanoseconds), options_(options)
{
}

bool LinuxPeerCodeSignature::peerSatisfies(int fd, std::string_view requirementText)
{
    lastIntegrityRefusal_.reset();
    const codesign::Requirement* parsed = requirement(requirementText);
    if (parsed == nullptr) {
        return false;
    }
    const auto process = peerProcess(fd, options_.pidfdSource);
    return process && satisfies(*process, *parsed) && keptItsStartTime(*process);
}

bool LinuxPeerCodeSignature::satisfies(const PeerProcess& process, const codesign::Requirement& requirement)
{
    const UniqueFd directory = openProcessDirectory(process);
    if (!directory || !mounts_.refresh()) {
        lastIntegrityRefusal_ = PeerIntegrityRefusal::unreadable;
        return false;
    }
    // The executable's mount decides before the file is opened or asked about: an open or a stat
    // that goes to the file system could wait forever for a FUSE daemon or a server.
    const auto linked = mounts::openLinkTarget(directory.get(), "exe", mounts_);
    if (linked && linked->mayStall) {
        lastIntegrityRefusal_ = PeerIntegrityRefusal::stallableExecutable;
        return false;
    }
    if (!linked || !S_ISREG(linked->status.mode)) {
        lastIntegrityRefusal_ = PeerIntegrityRefusal::unreadable;
        return false;
    }
    const mounts::Mount& mount = *linked->mount;
    const UniqueFd executable = mounts::reopenForReading(linked->file.get());
    const auto signature =
        executable ? verifiedSignature(executable.get(), mounts::keepsFileIdentity(mount)) : std::nullopt;
    if (!signature || !codesign::satisfies(requirement, *signature)) {
        return false;
    }
    lastIntegrityRefusal_ = integrity_.check(
        directory.get(), MappedExecutable {mount.deviceMajor, mount.deviceMinor, linked->status.inode}, mounts_);
    return !lastIntegrityRefusal_;
}

const codesign::Requirement* LinuxPeerCodeSignature::requirement(std::string_view text)
{
    if (!requirement_ || text != requirementText_) {
        requirementText_ = text;
        requirement_ = codesign::parseRequirement(text);
    }
    return requirement_ ? &*requirement_ : nullptr;
}

std::optional<codesign::VerifiedSignature> LinuxPeerCodeSignature::verifiedSignature(int executable, bool cacheable)
{
    const auto identity = codesign::regularFileIdentity(executable);
    const auto now = wallClock();
    if (!identity || !now) {
        return std::nullopt;
    }
    if (cacheable) {
        if (auto remembered = cache_.find(*identity, now->tv_sec)) {
            return remembered;
        }
    }
    ++fullVerifications_;
    auto verified = verifier_.verify(executable);
    if (!verified) {
        return std::nullopt;
    }
    // Remembered under the identity seen before reading, and only if the file still has it.
    if (cacheable && codesign::regularFileIdentity(executable) == identity) {
        cache_.remember(*identity, *verified, now->tv_sec * kNanosecondsPerSecond + now->tv_nsec);
    }
    return std::move(verified).value();
}

} // namespace quorvantile
