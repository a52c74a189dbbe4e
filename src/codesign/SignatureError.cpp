#include "codesign/SignatureError.h"

namespace quorvantile::codesign {

std::string_view describe(SignatureError error) noexcept
{
    switch (error) {
    case SignatureError::unreadable:
        return "the file cannot be read";
    case SignatureError::notSigned:
        return "the file is not signed";
    case SignatureError::malformedTrailer:
        return "the signature trailer is damaged";
    case SignatureError::malformedSignature:
        return "the signature block is not a well-formed signed message with one signer";
    case SignatureError::unsupportedAlgorithm:
        return "the signature uses an unsupported digest algorithm";
    case SignatureError::badSignature:
        return "the signature does not verify against its signer's certificate";
    case SignatureError::untrustedChain:
        return "the signer's certificate does not chain to a vendor anchor";
    case SignatureError::notForCodeSigning:
        return "the signer's certificate is not a code-signing certificate";
    case SignatureError::malformedCodeDirectory:
        return "the signed code directory is malformed";
    case SignatureError::contentModified:
        return "the file was modified after it was signed";
    case SignatureError::changedDuringVerification:
        return "the file changed while it was being verified";
    case SignatureError::tooLarge:
        return "the file or its signature is larger than the verifier accepts";
    case SignatureError::noAnchors:
        return "no vendor anchor is configured";
    }
    return "unknown signature error";
}

} // namespace quorvantile::codesign
