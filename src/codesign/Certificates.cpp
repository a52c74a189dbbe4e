#include "codesign/Certificates.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace quorvantile::codesign {
namespace {

// Refuses encrypted keys instead of asking for a passphrase on the terminal.
int noPassphrase(char*, int, int, void*) { return -1; }

} // namespace

std::optional<std::vector<CertificatePointer>> parseCertificates(std::string_view pem)
{
    BioPointer bio = memoryReader(pem);
    if (!bio) {
        return std::nullopt;
    }
    std::vector<CertificatePointer> certificates;
    for (;;) {
        CertificatePointer certificate(PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr));
        if (!certificate) {
            break;
        }
        if (certificates.size() == kMaximumPemCertificates) {
            clearOpenSslErrors();
            return std::nullopt;
        }
        certificates.push_back(std::move(certificate));
    }
    // The loop ends at the first failure; only "no further PEM block" is the normal end.
    const unsigned long reason = ERR_peek_last_error();
    const bool cleanEnd = ERR_GET_LIB(reason) == ERR_LIB_PEM && ERR_GET_REASON(reason) == PEM_R_NO_START_LINE;
    clearOpenSslErrors();
    if (!cleanEnd || certificates.empty()) {
        return std::nullopt;
    }
    return certificates;
}

KeyPointer parsePrivateKey(std::string_view pem)
{
    BioPointer bio = memoryReader(pem);
    if (!bio) {
        return nullptr;
    }
    KeyPointer key(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    clearOpenSslErrors();
    return key;
}

std::string subjectLine(X509* certificate)
{
    BioPointer bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        return {};
    }
    constexpr unsigned long flags = XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB;
    if (X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, flags) < 0) {
        clearOpenSslErrors();
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    if (length <= 0 || data == nullptr) {
        return {};
    }
    return std::string(data, static_cast<std::size_t>(length));
}

std::optional<std::string> singleOrganizationalUnit(X509* certificate)
{
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int first = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
    if (first < 0 || X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, first) >= 0) {
        return std::nullopt;
    }
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, first));
    unsigned char* converted = nullptr;
    const int length = ASN1_STRING_to_UTF8(&converted, data);
    const OpenSslBufferPointer utf8(converted);
    if (length < 0 || !utf8) {
        clearOpenSslErrors();
        return std::nullopt;
    }
    std::string value(reinterpret_cast<const char*>(utf8.get()), static_cast<std::size_t>(length));
    if (value.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return value;
}

bool isCodeSigningCertificate(X509* certificate)
{
    const std::uint32_t flags = X509_get_extension_flags(certificate);
    if ((flags & EXFLAG_INVALID) != 0 || (flags & EXFLAG_XKUSAGE) == 0) {
        return false;
    }
    if ((X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) == 0) {
        return false;
    }
    return (flags & EXFLAG_KUSAGE) == 0 || (X509_get_key_usage(certificate) & KU_DIGITAL_SIGNATURE) != 0;
}

} // namespace quorvantile::codesign
