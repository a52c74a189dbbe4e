// The peer's code signature through the Security framework: its running code looked up by the
// socket's audit token, checked against the requirement without network access.
#include "common/macos/CfObject.h"
#include "common/macos/CfText.h"
#include "companion/PeerCodeSignature.h"

#include <Security/Security.h>
#include <bsm/audit.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cstdint>

namespace quorvantile {
namespace {

// The audit token: eight 32-bit words.
constexpr socklen_t kAuditTokenBytes = 32;
static_assert(sizeof(audit_token_t) == kAuditTokenBytes);

// The peer's running code, found by its audit token; null when it cannot be found.
CfObject<SecCodeRef> peerCode(int fd)
{
    std::array<std::uint32_t, kAuditTokenBytes / sizeof(std::uint32_t)> token {};
    socklen_t length = kAuditTokenBytes;
    if (getsockopt(fd, SOL_LOCAL, LOCAL_PEERTOKEN, token.data(), &length) != 0 || length != kAuditTokenBytes) {
        return {};
    }
    const CfObject<CFDataRef> audit(
        CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(token.data()), kAuditTokenBytes));
    if (!audit) {
        return {};
    }
    std::array<const void*, 2> keys {kSecGuestAttributeAudit, kSecGuestAttributeDynamicCode};
    std::array<const void*, 2> values {audit.get(), kCFBooleanTrue};
    const CfObject<CFDictionaryRef> attributes(CFDictionaryCreate(kCFAllocatorDefault, keys.data(), values.data(),
        static_cast<CFIndex>(keys.size()), &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CfObject<SecCodeRef> code;
    if (!attributes ||
        SecCodeCopyGuestWithAttributes(nullptr, attributes.get(), kSecCSDefaultFlags, code.out()) != errSecSuccess) {
        return {};
    }
    return code; // null when the call succeeded without an object
}

class SecCodePeerSignature final : public PeerCodeSignature {
public:
    [[nodiscard]] bool peerSatisfies(int fd, std::string_view requirement) override
    {
        const CfObject<SecCodeRef> code = peerCode(fd);
        if (!code) {
            return false;
        }
        const auto text = cfString(requirement);
        CfObject<SecRequirementRef> compiled;
        if (!text || SecRequirementCreateWithString(text.get(), kSecCSDefaultFlags, compiled.out()) != errSecSuccess ||
            !compiled) {
            return false;
        }
        // No revocation look-up over the network: the answer must come within the connection's time.
        return SecCodeCheckValidity(code.get(), kSecCSNoNetworkAccess, compiled.get()) == errSecSuccess;
    }
};

} // namespace

// The platform looks the peer's code up itself and anchors the requirement at its own vendor.
std::unique_ptr<PeerCodeSignature> systemPeerCodeSignature() { return std::make_unique<SecCodePeerSignature>(); }

} // namespace quorvantile
