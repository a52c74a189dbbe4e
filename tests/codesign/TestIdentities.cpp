#include "TestIdentities.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace quorvantile::codesign::testing {
namespace {

constexpr long kSecondsPerDay = 24 * 60 * 60;

void require(bool condition, const char* what)
{
    if (!condition) {
        throw std::runtime_error(std::string("test identity: ") + what);
    }
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    require(extension != nullptr, "extension");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    require(added == 1, "add extension");
}

void addName(X509_NAME* name, const char* field, const std::string& value)
{
    require(X509_NAME_add_entry_by_txt(
                name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1,
        "name");
}

} // namespace

KeyPointer newKey()
{
    KeyPointer key(EVP_EC_gen("P-256"));
    require(key != nullptr, "key");
    return key;
}

TestCertificate issue(const CertificateOptions& options, const TestCertificate* issuer)
{
    TestCertificate result {CertificatePointer(X509_new()), newKey()};
    X509* certificate = result.certificate.get();
    require(certificate != nullptr && X509_set_version(certificate, 2) == 1, "version");

    unsigned char serial[16];
    require(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    require(number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != nullptr, "serial");
    BN_free(number);

    require(X509_gmtime_adj(X509_getm_notBefore(certificate), options.validFromDays * kSecondsPerDay) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(certificate), options.validUntilDays * kSecondsPerDay) != nullptr,
        "validity");

    X509_NAME* subject = X509_get_subject_name(certificate);
    addName(subject, "O", "Quorvantile Tests");
    for (const std::string& unit : options.organizationalUnits) {
        addName(subject, "OU", unit);
    }
    addName(subject, "CN", options.commonName);
    X509* issuerCertificate = issuer != nullptr ? issuer->certificate.get() : certificate;
    require(X509_set_issuer_name(certificate, X509_get_subject_name(issuerCertificate)) == 1, "issuer");
    require(X509_set_pubkey(certificate, result.key.get()) == 1, "public key");

    addExtension(certificate, issuerCertificate, NID_subject_key_identifier, "hash");
    addExtension(certificate, issuerCertificate, NID_authority_key_identifier, "keyid:always");
    if (options.certificateAuthority) {
        addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(certificate, issuerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(certificate, issuerCertificate, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(certificate, issuerCertificate, NID_key_usage, "critical,digitalSignature");
        if (options.otherUsageOnly) {
            addExtension(certificate, issuerCertificate, NID_ext_key_usage, "serverAuth");
        } else if (options.codeSigningUsage) {
            addExtension(certificate, issuerCertificate, NID_ext_key_usage, "critical,codeSigning");
        }
    }
    EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : result.key.get();
    require(X509_sign(certificate, signingKey, EVP_sha256()) > 0, "sign");
    return result;
}

std::string pem(X509* certificate)
{
    BioPointer bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_X509(bio.get(), certificate) == 1, "certificate PEM");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string pem(EVP_PKEY* key)
{
    BioPointer bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "key PEM");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

SigningIdentity identity(const TestCertificate& leaf, const std::vector<const TestCertificate*>& chain)
{
    SigningIdentity result;
    require(X509_up_ref(leaf.certificate.get()) == 1 && EVP_PKEY_up_ref(leaf.key.get()) == 1, "reference");
    result.certificate.reset(leaf.certificate.get());
    result.key.reset(leaf.key.get());
    for (const TestCertificate* link : chain) {
        require(X509_up_ref(link->certificate.get()) == 1, "reference");
        result.chain.emplace_back(link->certificate.get());
    }
    return result;
}

const TestPki& testPki()
{
    const auto authority = [](const char* name) {
        CertificateOptions options;
        options.commonName = name;
        options.certificateAuthority = true;
        return options;
    };
    const auto leaf = [](const char* name, std::vector<std::string> units = {kTeam}) {
        CertificateOptions options;
        options.commonName = name;
        options.organizationalUnits = std::move(units);
        return options;
    };
    static const TestPki pki = [&] {
        TestPki made;
        made.anchor = issue(authority("Test Anchor"), nullptr);
        made.otherAnchor = issue(authority("Other Anchor"), nullptr);
        made.intermediate = issue(authority("Test Intermediate"), &made.anchor);
        made.team = issue(leaf("Team"), &made.anchor);
        made.otherTeam = issue(leaf("Other Team", {"ZZZZZZZZZZ"}), &made.anchor);
        made.teamUnderOtherAnchor = issue(leaf("Team"), &made.otherAnchor);
        auto server = leaf("Server");
        server.otherUsageOnly = true;
        made.teamWithoutCodeSigning = issue(server, &made.anchor);
        auto any = leaf("Any");
        any.codeSigningUsage = false;
        made.teamWithoutUsage = issue(any, &made.anchor);
        made.teamUnderIntermediate = issue(leaf("Team"), &made.intermediate);
        auto expired = leaf("Expired");
        expired.validFromDays = -30;
        expired.validUntilDays = -1;
        made.expiredTeam = issue(expired, &made.anchor);
        return made;
    }();
    return pki;
}

} // namespace quorvantile::codesign::testing
