#pragma once

#include <memory>
#include <string_view>

namespace quorvantile {

// The platform's code-signing service, asked about the peer of a connected socket.
class PeerCodeSignature {
public:
    virtual ~PeerCodeSignature() = default;

    // Whether the code the peer is running is validly signed and satisfies `requirement`, a text of
    // the requirement language. Every failure on the way answers false: nothing here fails open.
    [[nodiscard]] virtual bool peerSatisfies(int fd, std::string_view requirement) = 0;
};

// The system's implementation, examining peers through the system's own /proc (never a configured
// root: the kernel calls that pin and signal peers act on the real processes). It keeps a cache of
// verified executables: keep one for as long as peers are checked.
[[nodiscard]] std::unique_ptr<PeerCodeSignature> systemPeerCodeSignature();

} // namespace quorvantile
