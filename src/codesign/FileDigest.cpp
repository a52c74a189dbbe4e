#include "codesign/FileDigest.h"

#include "codesign/FileReading.h"
#include "codesign/OpenSsl.h"
#include "common/FileText.h"

#include <algorithm>
#include <vector>

namespace quorvantile::codesign {

std::optional<Sha256Digest> sha256Prefix(int fd, std::uint64_t bytes, int copyTo)
{
    DigestContextPointer context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        clearOpenSslErrors();
        return std::nullopt;
    }
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kDigestChunkBytes)));
    std::uint64_t offset = 0;
    while (offset < bytes) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(bytes - offset, buffer.size()));
        if (!readFully(fd, offset, buffer.data(), piece) ||
            EVP_DigestUpdate(context.get(), buffer.data(), piece) != 1 ||
            (copyTo >= 0 && !writeAll(copyTo, std::string_view(buffer.data(), piece)))) {
            clearOpenSslErrors();
            return std::nullopt;
        }
        offset += piece;
    }
    Sha256Digest digest {};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        clearOpenSslErrors();
        return std::nullopt;
    }
    return digest;
}

} // namespace quorvantile::codesign
