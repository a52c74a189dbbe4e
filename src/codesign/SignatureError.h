#pragma once

#include <string_view>

namespace quorvantile::codesign {

// Why a file's signature was not accepted. Every one of them means "not trusted".
enum class SignatureError {
    unreadable,
    notSigned,
    malformedTrailer,
    malformedSignature,
    unsupportedAlgorithm,
    badSignature,
    untrustedChain,
    notForCodeSigning,
    malformedCodeDirectory,
    contentModified,
    changedDuringVerification,
    tooLarge,
    noAnchors,
};

// The last of them (numbered from 0 in the order above), for code that receives them as numbers.
inline constexpr SignatureError kLastSignatureError = SignatureError::noAnchors;

// One line of text for the signing tool.
[[nodiscard]] std::string_view describe(SignatureError error) noexcept;

} // namespace quorvantile::codesign
