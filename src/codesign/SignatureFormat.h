#pragma once

#include "codesign/Checked.h"
#include "codesign/SignatureError.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The appended signature block of a signed file:
//
//   [ signed content ][ CMS SignedData, DER ][ trailer, 16 bytes ][ magic ]
//
// The trailer holds the format version (4 bytes), four zero bytes and the CMS length (8 bytes),
// all big-endian. Program loaders ignore bytes after what their headers describe, so a signed
// executable runs unchanged. The block is read from the end of the file backwards.
namespace quorvantile::codesign {

inline constexpr std::string_view kSignatureMagic = "quorvantile-signature-v1\n";
inline constexpr std::uint32_t kSignatureFormatVersion = 1;
inline constexpr std::size_t kSignatureTrailerBytes = 16;
inline constexpr std::size_t kSignatureTailBytes = kSignatureTrailerBytes + kSignatureMagic.size();

// A certificate chain of a few certificates and one signature need a few kilobytes; anything far
// larger is not ours.
inline constexpr std::uint64_t kMaximumSignatureBlockBytes = 1024 * 1024;
// Bounds the work one verification can cause.
inline constexpr std::uint64_t kMaximumSignedContentBytes = std::uint64_t {1} << 30;

// Where the parts of a signed file lie.
struct SignatureLayout {
    std::uint64_t contentBytes = 0; // the signed bytes; the CMS block starts right after them
    std::uint64_t cmsBytes = 0;
    std::uint64_t fileBytes = 0;

    friend bool operator==(const SignatureLayout&, const SignatureLayout&) = default;
};

// Reads the last kSignatureTailBytes of a file of `fileBytes` bytes. notSigned when the magic is
// absent (or the file is too short to hold it); malformedTrailer when the magic is there but the
// trailer is not one this format writes or points outside the file.
[[nodiscard]] Checked<SignatureLayout, SignatureError> parseSignatureTail(
    std::string_view tail, std::uint64_t fileBytes);

// The trailer and magic that close a block whose CMS part is `cmsBytes` long.
[[nodiscard]] std::string encodeSignatureTail(std::uint64_t cmsBytes);

} // namespace quorvantile::codesign
