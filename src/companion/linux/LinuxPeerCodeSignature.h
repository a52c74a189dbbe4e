#pragma once

#include "codesign/Requirement.h"
#include "codesign/VerificationCache.h"
#include "common/linux/MountTable.h"
#include "common/linux/MountedFiles.h"
#include "companion/PeerCodeSignature.h"
#include "companion/linux/PeerIntegrity.h"
#include "companion/linux/PeerProcess.h"
#include "companion/linux/VerifierModule.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvantile {

struct LinuxPeerCodeSignatureOptions {
    PeerPidfdSource pidfdSource = PeerPidfdSource::socketOption;
    std::size_t cacheEntries = codesign::VerificationCache::kDefaultCapacityEntries;
    std::int64_t cacheUnsettledNanoseconds = codesign::VerificationCache::kDefaultUnsettledNanoseconds;
    // The verifier module; the one beside this program's executable unless a test names another.
    std::optional<std::filesystem::path> verifierModule;
};

// The peer's code is its running executable, reached through the real /proc while a pidfd pins the
// process: its exe link is opened without opening the file (O_PATH), its mount looked up, and only a
// file on a file system that cannot stall is read and verified against the vendor anchors given
// here. A verified executable is remembered by its file identity where that identity pins its bytes
// (see mounts::keepsFileIdentity), so an unchanged peer is not hashed again. A peer that satisfies
// the requirement must then pass the integrity checks (namespaces, tracer, mapped code), which are
// per process and may change at any time, so they are never remembered.
// Not thread-safe: one instance serves one thread.
class LinuxPeerCodeSignature final : public PeerCodeSignature {
public:
    explicit LinuxPeerCodeSignature(std::string_view anchorsPem, LinuxPeerCodeSignatureOptions options = {});

    [[nodiscard]] bool peerSatisfies(int fd, std::string_view requirement) override;
    [[nodiscard]] std::optional<std::string> takeFault() override { return std::exchange(fault_, std::nullopt); }

    // How many executables were hashed and verified in full (not answered from the cache).
    [[nodiscard]] std::size_t fullVerifications() const noexcept { return fullVerifications_; }

    // Why the last peer was refused after its process was found: its executable's file system, or
    // an integrity check its satisfying signature did not make up for. nullopt when it passed, or
    // failed on its signature or before.
    [[nodiscard]] std::optional<PeerIntegrityRefusal> lastIntegrityRefusal() const noexcept
    {
        return lastIntegrityRefusal_;
    }

private:
    [[nodiscard]] bool satisfies(const PeerProcess& process, const codesign::Requirement& requirement);
    // The signature of the peer's `executable`, remembered by its identity where its mount lets that
    // identity pin its bytes.
    [[nodiscard]] std::optional<codesign::VerifiedSignature> verifiedSignature(
        int processDirectory, const mounts::LinkTarget& executable);
    [[nodiscard]] const codesign::Requirement* requirement(std::string_view text);

    // Loaded when the first executable must be verified: until then the crypto library is neither
    // mapped nor initialised, which keeps it out of the server's start-up time and resident memory.
    // A module that cannot be loaded is tried again at the next verification.
    std::string anchorsPem_;
    std::optional<VerifierModule> verifier_;
    std::optional<std::string> fault_;
    codesign::VerificationCache cache_;
    PeerIntegrity integrity_;
    mounts::MountTable mounts_;
    LinuxPeerCodeSignatureOptions options_;
    std::optional<PeerIntegrityRefusal> lastIntegrityRefusal_;
    std::size_t fullVerifications_ = 0;
    // The last requirement text asked for, parsed: the server asks for the same one every time.
    std::string requirementText_;
    std::optional<codesign::Requirement> requirement_;
};

} // namespace quorvantile
