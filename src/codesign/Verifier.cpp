#include "codesign/Verifier.h"

#include "codesign/Certificates.h"
#include "codesign/FileDigest.h"
#include "codesign/FileReading.h"

#include <openssl/asn1.h>
#include <openssl/x509_vfy.h>

#include <ctime>
#include <limits>

namespace quorvantile::codesign {
namespace {

// RSA below 2,048 bits, SHA-1 and the like are refused in the certificate chain.
constexpr int kMinimumChainSecurityLevel = 2;

struct SignatureBlock {
    FileIdentity identity;
    SignatureLayout layout;
    CmsPointer cms;
};

// Finds, bounds and decodes the appended block: a DER SignedData that fills the space between the
// signed content and the trailer exactly, with encapsulated content and exactly one signer.
Checked<SignatureBlock, SignatureError> readSignatureBlock(int fd)
{
    const auto identity = regularFileIdentity(fd);
    if (!identity) {
        return SignatureError::unreadable;
    }
    if (identity->size < kSignatureTailBytes) {
        return SignatureError::notSigned;
    }
    const auto tail = readAt(fd, identity->size - kSignatureTailBytes, kSignatureTailBytes);
    if (!tail) {
        return SignatureError::unreadable;
    }
    auto layout = parseSignatureTail(*tail, identity->size);
    if (!layout) {
        return layout.error();
    }
    if (layout->contentBytes > kMaximumSignedContentBytes) {
        return SignatureError::tooLarge;
    }
    const auto der = readAt(fd, layout->contentBytes, static_cast<std::size_t>(layout->cmsBytes));
    if (!der) {
        return SignatureError::unreadable;
    }
    const auto* cursor = reinterpret_cast<const unsigned char*>(der->data());
    const auto* const end = cursor + der->size();
    CmsPointer cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der->size())));
    clearOpenSslErrors();
    if (!cms || cursor != end || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data || CMS_is_detached(cms.get()) != 0) {
        return SignatureError::malformedSignature;
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) != 1) {
        return SignatureError::malformedSignature;
    }
    return SignatureBlock {*identity, *layout, std::move(cms)};
}

bool hasAcceptedDigest(CMS_ContentInfo* cms)
{
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0), nullptr, nullptr, &digest, nullptr);
    if (digest == nullptr) {
        return false;
    }
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, digest);
    const int nid = OBJ_obj2nid(algorithm);
    return nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

// The encapsulated content, which must be a code directory of bounded size.
std::optional<CodeDirectory> encapsulatedDirectory(CMS_ContentInfo* cms)
{
    ASN1_OCTET_STRING** content = CMS_get0_content(cms);
    if (content == nullptr || *content == nullptr) {
        return std::nullopt;
    }
    const int length = ASN1_STRING_length(*content);
    if (length <= 0 || static_cast<std::size_t>(length) > kMaximumCodeDirectoryBytes) {
        return std::nullopt;
    }
    return parseCodeDirectory(std::string_view(
        reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)), static_cast<std::size_t>(length)));
}

std::optional<std::int64_t> notAfterSeconds(X509* certificate)
{
    std::tm time {};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &time) != 1) {
        clearOpenSslErrors();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(timegm(&time));
}

// The signer that CMS_verify matched among the certificates of the message.
X509* soleSigner(CMS_ContentInfo* cms)
{
    const CertificateStackViewPointer signers(CMS_get0_signers(cms));
    if (!signers || sk_X509_num(signers.get()) != 1) {
        return nullptr;
    }
    return sk_X509_value(signers.get(), 0);
}

} // namespace

SignatureVerifier::SignatureVerifier(std::string_view anchorsPem)
{
    auto anchors = parseCertificates(anchorsPem);
    StorePointer store(X509_STORE_new());
    if (!anchors || !store) {
        clearOpenSslErrors();
        return;
    }
    for (const CertificatePointer& anchor : *anchors) {
        if (X509_STORE_add_cert(store.get(), anchor.get()) != 1) {
            clearOpenSslErrors();
            return;
        }
    }
    anchors_ = std::move(*anchors);
    store_ = std::move(store);
}

Checked<VerifiedSignature, SignatureError> SignatureVerifier::verify(int fd) const
{
    if (!hasAnchors()) {
        return SignatureError::noAnchors;
    }
    auto block = readSignatureBlock(fd);
    if (!block) {
        return block.error();
    }
    CMS_ContentInfo* cms = block->cms.get();
    if (!hasAcceptedDigest(cms)) {
        return SignatureError::unsupportedAlgorithm;
    }
    // The signature and the content digest only; the chain is checked below with our own rules
    // (CMS_verify would insist on the S/MIME signing purpose, which a code-signing certificate
    // does not have).
    if (CMS_verify(cms, nullptr, nullptr, nullptr, nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1) {
        clearOpenSslErrors();
        return SignatureError::badSignature;
    }
    X509* signer = soleSigner(cms);
    if (signer == nullptr) {
        return SignatureError::malformedSignature;
    }

    const CertificateStackPointer carried(CMS_get1_certs(cms));
    StoreContextPointer context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), store_.get(), signer, carried.get()) != 1) {
        clearOpenSslErrors();
        return SignatureError::untrustedChain;
    }
    // OpenSSL 3.0 knows no code-signing purpose: any purpose here, the usage checked below.
    if (X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY) != 1) {
        clearOpenSslErrors();
        return SignatureError::untrustedChain;
    }
    X509_VERIFY_PARAM_set_auth_level(X509_STORE_CTX_get0_param(context.get()), kMinimumChainSecurityLevel);
    if (X509_verify_cert(context.get()) != 1) {
        clearOpenSslErrors();
        return SignatureError::untrustedChain;
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
    const int chainLength = chain == nullptr ? 0 : sk_X509_num(chain);
    if (chainLength < 1) {
        return SignatureError::untrustedChain;
    }
    X509* top = sk_X509_value(chain, chainLength - 1);
    bool anchored = false;
    for (const CertificatePointer& anchor : anchors_) {
        anchored = anchored || X509_cmp(top, anchor.get()) == 0;
    }
    if (!anchored) {
        return SignatureError::untrustedChain;
    }
    if (!isCodeSigningCertificate(signer)) {
        return SignatureError::notForCodeSigning;
    }

    auto directory = encapsulatedDirectory(cms);
    if (!directory) {
        return SignatureError::malformedCodeDirectory;
    }
    if (directory->contentBytes != block->layout.contentBytes) {
        return SignatureError::contentModified;
    }
    const auto digest = sha256Prefix(fd, block->layout.contentBytes);
    if (!digest) {
        return SignatureError::unreadable;
    }
    if (*digest != directory->digest) {
        return SignatureError::contentModified;
    }
    if (regularFileIdentity(fd) != block->identity) {
        return SignatureError::changedDuringVerification;
    }

    VerifiedSignature verified;
    verified.directory = std::move(*directory);
    verified.leafOrganizationalUnit = singleOrganizationalUnit(signer);
    verified.anchoredAtVendor = true;
    verified.validUntilSeconds = std::numeric_limits<std::int64_t>::max();
    for (int index = 0; index < chainLength; ++index) {
        X509* certificate = sk_X509_value(chain, index);
        const auto notAfter = notAfterSeconds(certificate);
        if (!notAfter) {
            return SignatureError::untrustedChain;
        }
        verified.validUntilSeconds = std::min(verified.validUntilSeconds, *notAfter);
        verified.chainSubjects.push_back(subjectLine(certificate));
    }
    return verified;
}

Checked<SignatureDescription, SignatureError> describeSignature(int fd)
{
    auto block = readSignatureBlock(fd);
    if (!block) {
        return block.error();
    }
    CMS_ContentInfo* cms = block->cms.get();
    SignatureDescription description;
    description.layout = block->layout;
    description.directory = encapsulatedDirectory(cms);

    const CertificateStackPointer carried(CMS_get1_certs(cms));
    // Matches the signer identifier against the carried certificates without verifying anything.
    X509* signer = nullptr;
    if (CMS_set1_signers_certs(cms, nullptr, 0) >= 0) {
        signer = soleSigner(cms);
    }
    clearOpenSslErrors();
    if (signer != nullptr) {
        description.leafOrganizationalUnit = singleOrganizationalUnit(signer);
        description.certificateSubjects.push_back(subjectLine(signer));
    }
    const int count = carried ? sk_X509_num(carried.get()) : 0;
    for (int index = 0; index < count; ++index) {
        X509* certificate = sk_X509_value(carried.get(), index);
        if (signer == nullptr || X509_cmp(certificate, signer) != 0) {
            description.certificateSubjects.push_back(subjectLine(certificate));
        }
    }
    if (description.directory && description.directory->contentBytes == block->layout.contentBytes) {
        const auto digest = sha256Prefix(fd, block->layout.contentBytes);
        description.digestMatches = digest && *digest == description.directory->digest;
    }
    return description;
}

} // namespace quorvantile::codesign
