#pragma once

#include <memory>
#include <string>
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

// The system's implementation, examining peers through the proc tree at `procRoot`. It keeps a cache
// of verified executables: keep one for as long as peers are checked.
[[nodiscard]] std::unique_ptr<PeerCodeSignature> systemPeerCodeSignature(const std::string& procRoot);

} // namespace quorvantile
