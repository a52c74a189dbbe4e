#include "codesign/Signer.h"

#include "codesign/Certificates.h"
#include "codesign/CodeDirectory.h"
#include "codesign/FileDigest.h"
#include "codesign/FileReading.h"
#include "common/FileText.h"
#include "common/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace quorvantile::codesign {
namespace {

SigningFailure failure(std::string message) { return SigningFailure {std::move(message)}; }

SigningFailure systemFailure(std::string_view what, const std::filesystem::path& path, int error)
{
    return failure(std::string(what) + " " + path.string() + ": " + std::strerror(error));
}

// A file beside the target that is removed unless it was renamed into place.
class TemporarySibling {
public:
    explicit TemporarySibling(const std::filesystem::path& target)
    {
        std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".signing-XXXXXX")).string();
        fd_.reset(mkostemp(pattern.data(), O_CLOEXEC));
        if (fd_) {
            path_ = pattern;
        }
    }
    TemporarySibling(const TemporarySibling&) = delete;
    TemporarySibling& operator=(const TemporarySibling&) = delete;
    ~TemporarySibling()
    {
        if (!path_.empty()) {
            ::unlink(path_.c_str()); // cleanup of our own scratch file; nothing to do if it is already gone
        }
    }

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] bool valid() const noexcept { return fd_.valid(); }

    // Closes the file (reporting a failed close) and renames it over `target`.
    [[nodiscard]] bool replace(const std::filesystem::path& target)
    {
        if (::close(fd_.release()) != 0 || ::rename(path_.c_str(), target.c_str()) != 0) {
            return false;
        }
        path_.clear();
        return true;
    }

private:
    UniqueFd fd_;
    std::string path_;
};

// The signed part of a file: all of it, or everything before an existing signature block.
Checked<std::uint64_t, SigningFailure> unsignedBytes(int fd, std::uint64_t fileBytes, const std::filesystem::path& path)
{
    if (fileBytes < kSignatureTailBytes) {
        return fileBytes;
    }
    const auto tail = readAt(fd, fileBytes - kSignatureTailBytes, kSignatureTailBytes);
    if (!tail) {
        return systemFailure("cannot read", path, errno == 0 ? EIO : errno);
    }
    const auto layout = parseSignatureTail(*tail, fileBytes);
    if (layout) {
        return layout->contentBytes;
    }
    if (layout.error() == SignatureError::notSigned) {
        return fileBytes;
    }
    return failure(path.string() + " ends with a damaged signature block; restore the unsigned file before signing");
}

} // namespace

Checked<SigningIdentity, SigningFailure> loadSigningIdentity(
    std::string_view certificatePem, std::string_view keyPem, std::optional<std::string_view> chainPem)
{
    auto certificates = parseCertificates(certificatePem);
    if (!certificates || certificates->size() != 1) {
        return failure("the certificate file must hold exactly one PEM certificate");
    }
    SigningIdentity identity;
    identity.certificate = std::move(certificates->front());
    if (!isCodeSigningCertificate(identity.certificate.get())) {
        return failure("the certificate is not for code signing (it lacks extended key usage codeSigning)");
    }
    identity.key = parsePrivateKey(keyPem);
    if (!identity.key) {
        return failure("the key file must hold one unencrypted PEM private key");
    }
    if (X509_check_private_key(identity.certificate.get(), identity.key.get()) != 1) {
        clearOpenSslErrors();
        return failure("the private key does not belong to the certificate");
    }
    if (chainPem) {
        auto chain = parseCertificates(*chainPem);
        if (!chain) {
            return failure("the chain file must hold one or more PEM certificates");
        }
        identity.chain = std::move(*chain);
    }
    return identity;
}

Checked<std::string, SigningFailure> signatureBlock(std::string_view codeDirectory, const SigningIdentity& identity)
{
    BioPointer content = memoryReader(codeDirectory);
    CertificateStackPointer extra = newCertificateStack();
    if (!content || !extra) {
        return failure("out of memory");
    }
    for (const CertificatePointer& certificate : identity.chain) {
        if (!pushReference(extra.get(), certificate.get())) {
            return failure("out of memory");
        }
    }
    const CmsPointer cms(CMS_sign(
        identity.certificate.get(), identity.key.get(), extra.get(), content.get(), CMS_BINARY | CMS_NOSMIMECAP));
    if (!cms) {
        clearOpenSslErrors();
        return failure("the signature could not be made with this certificate and key");
    }
    const int length = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (length <= 0 || static_cast<std::uint64_t>(length) > kMaximumSignatureBlockBytes) {
        clearOpenSslErrors();
        return failure("the signature block could not be encoded within its size limit");
    }
    std::string block(static_cast<std::size_t>(length), '\0');
    auto* cursor = reinterpret_cast<unsigned char*>(block.data());
    if (i2d_CMS_ContentInfo(cms.get(), &cursor) != length) {
        clearOpenSslErrors();
        return failure("the signature block could not be encoded");
    }
    block += encodeSignatureTail(static_cast<std::uint64_t>(length));
    return block;
}

Checked<SignatureLayout, SigningFailure> signFile(
    const std::filesystem::path& path, std::string_view identifier, const SigningIdentity& identity)
{
    if (!isValidIdentifier(identifier)) {
        return failure(
            "the identifier must be 1 to 255 printable ASCII characters without spaces, quotes or backslashes");
    }
    struct stat linkStatus { };
    if (lstat(path.c_str(), &linkStatus) != 0) {
        return systemFailure("cannot examine", path, errno);
    }
    if (S_ISLNK(linkStatus.st_mode)) {
        return failure(path.string() + " is a symbolic link; sign the file it names");
    }
    const UniqueFd source(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
    if (!source) {
        return systemFailure("cannot open", path, errno);
    }
    struct stat status { };
    if (fstat(source.get(), &status) != 0) {
        return systemFailure("cannot examine", path, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return failure(path.string() + " is not a regular file");
    }
    errno = 0;
    const auto contentBytes = unsignedBytes(source.get(), static_cast<std::uint64_t>(status.st_size), path);
    if (!contentBytes) {
        return contentBytes.error();
    }
    if (*contentBytes > kMaximumSignedContentBytes) {
        return failure(path.string() + " is larger than the 1 GiB that a signature may cover");
    }

    TemporarySibling signedFile(path);
    if (!signedFile.valid()) {
        return systemFailure("cannot create a file beside", path, errno);
    }
    const auto digest = sha256Prefix(source.get(), *contentBytes, signedFile.fd());
    if (!digest) {
        return systemFailure("cannot copy", path, errno == 0 ? EIO : errno);
    }
    if (regularFileIdentity(source.get()) != fileIdentity(status)) {
        return failure(path.string() + " changed while it was being signed");
    }
    const std::string directory = encodeCodeDirectory(CodeDirectory {std::string(identifier), *digest, *contentBytes});
    const auto block = signatureBlock(directory, identity);
    if (!block) {
        return block.error();
    }
    if (!writeAll(signedFile.fd(), *block)) {
        return systemFailure("cannot write beside", path, errno);
    }
    // Owner before mode: changing the owner clears the set-user-ID and set-group-ID bits.
    struct stat written { };
    if (fstat(signedFile.fd(), &written) != 0) {
        return systemFailure("cannot examine the file written beside", path, errno);
    }
    if ((written.st_uid != status.st_uid || written.st_gid != status.st_gid) &&
        fchown(signedFile.fd(), status.st_uid, status.st_gid) != 0) {
        return systemFailure("cannot give the signed file the owner of", path, errno);
    }
    if (fchmod(signedFile.fd(), status.st_mode & 07777) != 0) {
        return systemFailure("cannot give the signed file the mode of", path, errno);
    }
    if (fsync(signedFile.fd()) != 0) {
        return systemFailure("cannot flush the file written beside", path, errno);
    }
    if (!signedFile.replace(path)) {
        return systemFailure("cannot replace", path, errno);
    }
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const UniqueFd directoryFd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFd || fsync(directoryFd.get()) != 0) {
        return systemFailure("signed, but cannot flush the directory of", path, errno);
    }
    const std::uint64_t cmsBytes = block->size() - kSignatureTailBytes;
    return SignatureLayout {*contentBytes, cmsBytes, *contentBytes + block->size()};
}

} // namespace quorvantile::codesign
