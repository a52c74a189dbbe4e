#include "codesign/VendorAnchors.h"
#include "companion/linux/LinuxPeerCodeSignature.h"

namespace quorvantile {

PeerCodeSignature& systemPeerCodeSignature()
{
    // Anchored at the vendor anchors compiled into the program; built on first use, kept for the
    // life of the process together with its cache of verified executables.
    static LinuxPeerCodeSignature signature(codesign::vendorAnchorsPem());
    return signature;
}

} // namespace quorvantile
