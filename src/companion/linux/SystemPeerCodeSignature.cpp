#include "codesign/VendorAnchors.h"
#include "companion/linux/LinuxPeerCodeSignature.h"

namespace quorvantile {

std::unique_ptr<PeerCodeSignature> systemPeerCodeSignature(const std::string& procRoot)
{
    // Anchored at the vendor anchors compiled into the program.
    LinuxPeerCodeSignatureOptions options;
    options.procRoot = procRoot;
    return std::make_unique<LinuxPeerCodeSignature>(codesign::vendorAnchorsPem(), std::move(options));
}

} // namespace quorvantile
