#include "codesign/VendorAnchors.h"
#include "companion/linux/LinuxPeerCodeSignature.h"

namespace quorvantile {

std::unique_ptr<PeerCodeSignature> systemPeerCodeSignature()
{
    // Anchored at the vendor anchors compiled into the program.
    return std::make_unique<LinuxPeerCodeSignature>(codesign::vendorAnchorsPem());
}

} // namespace quorvantile
