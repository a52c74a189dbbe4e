#include "companion/linux/LinuxPeerCodeSignature.h"

#include "codesign/FileReading.h"
#include "common/linux/MountedFiles.h"

#include <fcntl.h>

#include <sys/stat.h>

#include <ctime>
#include <utility>

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
    : anchorsPem_(anchorsPem), cache_(options.cacheEntries, options.cacheUnsettledNanoseconds),
      options_(std::move(options))
{
}

bool LinuxPeerCodeSignature::peerSatisfies(int fd, std::string_view requirementText)
{
    lastIntegrityRefusal_.reset();
    fault_.reset();
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
    const auto target = mounts::linkTarget(directory.get(), "exe", mounts_);
    if (target && target->mayStall) {
        lastIntegrityRefusal_ = PeerIntegrityRefusal::stallableExecutable;
        return false;
    }
    if (!target || !S_ISREG(target->status.mode)) {
        lastIntegrityRefusal_ = PeerIntegrityRefusal::unreadable;
        return false;
    }
    const auto signature = verifiedSignature(directory.get(), *target);
    if (!signature || !codesign::satisfies(requirement, *signature)) {
        return false;
    }
    const mounts::Mount& mount = *target->mount;
    lastIntegrityRefusal_ = integrity_.check(
        directory.get(), MappedExecutable {mount.deviceMajor, mount.deviceMinor, target->status.inode}, mounts_);
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

std::optional<codesign::VerifiedSignature> LinuxPeerCodeSignature::verifiedSignature(
    int processDirectory, const mounts::LinkTarget& executable)
{
    // Known from the statx that found its mount: a remembered file is never opened.
    const mounts::FileStatus& status = executable.status;
    const codesign::FileIdentity identity {status.device, status.inode, status.size, status.modificationSeconds,
        status.modificationNanoseconds, status.changeSeconds, status.changeNanoseconds};
    const bool cacheable = mounts::keepsFileIdentity(*executable.mount);
    const auto now = wallClock();
    if (!now) {
        return std::nullopt;
    }
    if (cacheable) {
        if (auto remembered = cache_.find(identity, now->tv_sec)) {
            return remembered;
        }
    }
    const UniqueFd file = mounts::openLinkTarget(processDirectory, "exe", executable, O_RDONLY);
    if (!file || codesign::regularFileIdentity(file.get()) != identity) {
        return std::nullopt;
    }
    ++fullVerifications_;
    if (!verifier_) {
        auto loaded = VerifierModule::load(
            options_.verifierModule ? *options_.verifierModule : verifierModulePath(), anchorsPem_);
        if (!loaded) {
            fault_ = "cannot verify the peer's signature: the signature verifier is not available: " + loaded.error();
            return std::nullopt;
        }
        verifier_.emplace(std::move(loaded).value());
    }
    auto verified = verifier_->verify(file.get());
    if (!verified) {
        return std::nullopt;
    }
    // Remembered under the identity seen before reading, and only if the file still has it.
    if (cacheable && codesign::regularFileIdentity(file.get()) == identity) {
        cache_.remember(identity, *verified, now->tv_sec * kNanosecondsPerSecond + now->tv_nsec);
    }
    return std::move(verified).value();
}

} // namespace quorvantile
