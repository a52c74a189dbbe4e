#include "codesign/FileReading.h"

#include "codesign/OpenSsl.h"
#include "common/FileText.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quorvantile::codesign {
namespace {

// Fills `buffer` from `offset`; false on an error or an early end of file.
bool readFully(int fd, std::uint64_t offset, char* buffer, std::size_t bytes)
{
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t got = pread(fd, buffer + done, bytes - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace

std::optional<std::string> readAt(int fd, std::uint64_t offset, std::size_t bytes)
{
    std::string buffer(bytes, '\0');
    if (!readFully(fd, offset, buffer.data(), bytes)) {
        return std::nullopt;
    }
    return buffer;
}

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

FileIdentity fileIdentity(const struct stat& status) noexcept
{
    return FileIdentity {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
        static_cast<std::uint64_t>(status.st_size), status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
        status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
}

std::optional<FileIdentity> regularFileIdentity(int fd) noexcept
{
    struct stat status { };
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
        return std::nullopt;
    }
    return fileIdentity(status);
}

} // namespace quorvantile::codesign
