#include "companion/PeerCodeSignature.h"

namespace quorvantile {
namespace {

// Until signature verification exists on this platform, no peer is trusted.
class RefusingPeerCodeSignature final : public PeerCodeSignature {
public:
    [[nodiscard]] bool peerSatisfies(int, std::string_view) override { return false; }
};

} // namespace

PeerCodeSignature& systemPeerCodeSignature()
{
    static RefusingPeerCodeSignature signature;
    return signature;
}

} // namespace quorvantile
