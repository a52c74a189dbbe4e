#include "codesign/SignatureFormat.h"

namespace quorvantile::codesign {
namespace {

std::uint64_t readBigEndian(std::string_view bytes)
{
    std::uint64_t value = 0;
    for (const char byte : bytes) {
        value = (value << 8) | static_cast<unsigned char>(byte);
    }
    return value;
}

void appendBigEndian(std::string& out, std::uint64_t value, std::size_t bytes)
{
    for (std::size_t index = bytes; index > 0; --index) {
        out += static_cast<char>((value >> (8 * (index - 1))) & 0xff);
    }
}

} // namespace

Checked<SignatureLayout, SignatureError> parseSignatureTail(std::string_view tail, std::uint64_t fileBytes)
{
    if (fileBytes < kSignatureTailBytes || tail.size() != kSignatureTailBytes ||
        tail.substr(kSignatureTrailerBytes) != kSignatureMagic) {
        return SignatureError::notSigned;
    }
    const std::uint64_t version = readBigEndian(tail.substr(0, 4));
    const std::uint64_t reserved = readBigEndian(tail.substr(4, 4));
    const std::uint64_t cmsBytes = readBigEndian(tail.substr(8, 8));
    if (version != kSignatureFormatVersion || reserved != 0) {
        return SignatureError::malformedTrailer;
    }
    // fileBytes >= kSignatureTailBytes here, so the subtraction cannot wrap.
    const std::uint64_t available = fileBytes - kSignatureTailBytes;
    if (cmsBytes == 0 || cmsBytes > available) {
        return SignatureError::malformedTrailer;
    }
    if (cmsBytes > kMaximumSignatureBlockBytes) {
        return SignatureError::tooLarge;
    }
    return SignatureLayout {available - cmsBytes, cmsBytes, fileBytes};
}

std::string encodeSignatureTail(std::uint64_t cmsBytes)
{
    std::string tail;
    tail.reserve(kSignatureTailBytes);
    appendBigEndian(tail, kSignatureFormatVersion, 4);
    appendBigEndian(tail, 0, 4);
    appendBigEndian(tail, cmsBytes, 8);
    tail += kSignatureMagic;
    return tail;
}

} // namespace quorvantile::codesign
