#pragma once

#include <memory>
#include <optional>
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

    // Why the last peer could not be checked at all through a fault of this program's own (a part
    // of it missing), as one line for the diagnostics, given once; nullopt when the peer itself
    // decided.
    [[nodiscard]] virtual std::optional<std::string> takeFault() { return std::nullopt; }
};

// The system's implementation, examining peers through the system's own /proc (never a configured
// root: the kernel calls that pin and signal peers act on the real processes). It keeps a cache of
// verified executables: keep one for as long as peers are checked.
[[nodiscard]] std::unique_ptr<PeerCodeSignature> systemPeerCodeSignature();

} // namespace quorvantile
