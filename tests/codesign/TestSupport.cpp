#include "TestSupport.h"

#include "common/FileText.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>
#include <utility>

namespace quorvantile::codesign::testing {
namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        throw std::runtime_error(std::string("codesign test support: ") + what);
    }
}

struct CertificateOptions {
    std::vector<std::string> organizationalUnits {kTeam};
    const char* extendedUsage = "critical,codeSigning"; // none when null
    const char* keyUsage = "critical,digitalSignature";
    bool certificateAuthority = false;
    long validFromDays = -1;
    long validUntilDays = 365;
};

// A certificate for a new P-256 key, issued by `issuer` (self-signed without one).
SigningIdentity issue(const char* commonName, const CertificateOptions& options, const SigningIdentity* issuer)
{
    static long serial = 0;
    SigningIdentity made {CertificatePointer(X509_new()), KeyPointer(EVP_EC_gen("P-256")), {}};
    X509* certificate = made.certificate.get();
    require(certificate != nullptr && made.key != nullptr, "new certificate");
    X509* issuerCertificate = issuer != nullptr ? issuer->certificate.get() : certificate;
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), options.validFromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate), options.validUntilDays * 86400);
    std::vector<std::pair<const char*, std::string>> names {{"O", "Quorvantile Tests"}};
    for (const std::string& unit : options.organizationalUnits) {
        names.emplace_back("OU", unit);
    }
    names.emplace_back("CN", commonName);
    for (const auto& [field, value] : names) {
        X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), field, MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    }
    X509_set_issuer_name(certificate, X509_get_subject_name(issuerCertificate));
    X509_set_pubkey(certificate, made.key.get());
    std::vector<std::pair<int, const char*>> extensions {{NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"}, {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, options.keyUsage}};
    if (options.certificateAuthority) {
        extensions[2].second = "critical,CA:TRUE";
        extensions[3].second = "critical,keyCertSign,cRLSign";
    } else if (options.extendedUsage != nullptr) {
        extensions.emplace_back(NID_ext_key_usage, options.extendedUsage);
    }
    for (const auto& [nid, value] : extensions) {
        X509V3_CTX context;
        X509V3_set_ctx(&context, issuerCertificate, certificate, nullptr, nullptr, 0);
        const std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> extension(
            X509V3_EXT_conf_nid(nullptr, &context, nid, value), X509_EXTENSION_free);
        require(extension && X509_add_ext(certificate, extension.get(), -1) == 1, "extension");
    }
    require(X509_sign(certificate, issuer != nullptr ? issuer->key.get() : made.key.get(), EVP_sha256()) > 0, "sign");
    return made;
}

template<class Write> std::string pemText(Write write)
{
    BioPointer bio(BIO_new(BIO_s_mem()));
    require(bio && write(bio.get()) == 1, "PEM");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

} // namespace

void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    const UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    require(file && writeAll(file.get(), bytes), "write");
}

std::string readFile(const std::filesystem::path& path)
{
    return readWholeFile(AT_FDCWD, path.string(), std::size_t {1} << 30).value_or("");
}

std::string bumped(std::string bytes, std::ptrdiff_t position)
{
    char& byte = bytes[static_cast<std::size_t>(position < 0 ? std::ssize(bytes) + position : position)];
    byte = static_cast<char>(byte + 1);
    return bytes;
}

const TestPki& testPki()
{
    static const TestPki pki = [] {
        const CertificateOptions authority {.organizationalUnits = {}, .certificateAuthority = true};
        TestPki made;
        made.anchor = issue("Test Anchor", authority, nullptr);
        made.otherAnchor = issue("Other Anchor", authority, nullptr);
        made.intermediate = issue("Test Intermediate", authority, &made.anchor);
        made.team = issue("Team", {}, &made.anchor);
        made.otherTeam = issue("Other Team", {.organizationalUnits = {"ZZZZZZZZZZ"}}, &made.anchor);
        made.teamUnderOtherAnchor = issue("Team", {}, &made.otherAnchor);
        made.teamWithoutCodeSigning = issue("Server", {.extendedUsage = "serverAuth"}, &made.anchor);
        made.teamWithoutUsage = issue("Any", {.extendedUsage = nullptr}, &made.anchor);
        made.teamWithoutDigitalSignature = issue("Agreement", {.keyUsage = "critical,keyAgreement"}, &made.anchor);
        made.teamUnderIntermediate = issue("Team", {}, &made.intermediate);
        made.teamCarryingIntermediate = issue("Team", {}, &made.intermediate);
        made.teamCarryingIntermediate.chain.emplace_back(X509_dup(made.intermediate.certificate.get()));
        made.expiredTeam = issue("Expired", {.validFromDays = -30, .validUntilDays = -1}, &made.anchor);
        made.teamWithTwoUnits = issue("Two", {.organizationalUnits = {kTeam, "Other"}}, &made.anchor);
        return made;
    }();
    return pki;
}

std::string pem(X509* certificate)
{
    return pemText([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate); });
}

std::string pem(EVP_PKEY* key)
{
    return pemText([&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr); });
}

} // namespace quorvantile::codesign::testing
