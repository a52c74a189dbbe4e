#pragma once

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

// The process-wide implementation (it keeps a cache of verified executables).
[[nodiscard]] PeerCodeSignature& systemPeerCodeSignature();

} // namespace quorvantile
