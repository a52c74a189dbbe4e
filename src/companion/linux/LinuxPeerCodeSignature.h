#pragma once

#include "codesign/VerificationCache.h"
#include "codesign/Verifier.h"
#include "companion/PeerCodeSignature.h"
#include "companion/linux/PeerIntegrity.h"
#include "companion/linux/PeerProcess.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvantile {

struct LinuxPeerCodeSignatureOptions {
    std::string procRoot = "/proc";
    PeerPidfdSource pidfdSource = PeerPidfdSource::socketOption;
    std::size_t cacheEntries = codesign::VerificationCache::kDefaultCapacityEntries;
    std::int64_t cacheUnsettledNanoseconds = codesign::VerificationCache::kDefaultUnsettledNanoseconds;
};

// The peer's code is its running executable: opened through /proc/<pid>/exe while a pidfd pins the
// process, then verified through the opened descriptor against the vendor anchors given here. A
// verified executable is remembered by its file identity, so an unchanged peer is not hashed again.
// A peer that satisfies the requirement must then pass the integrity checks (namespaces, tracer,
// mapped code), which are per process and may change at any time, so they are never remembered.
// Not thread-safe: one instance serves one thread.
class LinuxPeerCodeSignature final : public PeerCodeSignature {
public:
    explicit LinuxPeerCodeSignature(std::string_view anchorsPem, LinuxPeerCodeSignatureOptions options = {});

    [[nodiscard]] bool peerSatisfies(int fd, std::string_view requirement) override;

    // How many executables were hashed and verified in full (not answered from the cache).
    [[nodiscard]] std::size_t fullVerifications() const noexcept { return fullVerifications_; }

    // Why the last peer with a satisfying signature failed the integrity checks; nullopt when it
    // passed them.
    [[nodiscard]] std::optional<PeerIntegrityRefusal> lastIntegrityRefusal() const noexcept
    {
        return lastIntegrityRefusal_;
    }

private:
    [[nodiscard]] std::optional<codesign::VerifiedSignature> verifiedSignature(int executable);
    [[nodiscard]] std::optional<PeerIntegrityRefusal> integrityRefusal(const PeerProcess& process, int executable);

    codesign::SignatureVerifier verifier_;
    codesign::VerificationCache cache_;
    PeerIntegrity integrity_;
    LinuxPeerCodeSignatureOptions options_;
    std::optional<PeerIntegrityRefusal> lastIntegrityRefusal_;
    std::size_t fullVerifications_ = 0;
};

} // namespace quorvantile
