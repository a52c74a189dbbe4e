#pragma once

#include "codesign/OpenSsl.h"
#include "codesign/Signer.h"

#include <optional>
#include <string>
#include <vector>

// Certificates and keys made at run time for the tests; none is ever written into the repository.
namespace quorvantile::codesign::testing {

inline constexpr const char* kTeam = "7Q4KX2M8PZ";

struct TestCertificate {
    CertificatePointer certificate;
    KeyPointer key;
};

struct CertificateOptions {
    std::string commonName = "Test";
    std::vector<std::string> organizationalUnits;
    bool certificateAuthority = false;
    bool codeSigningUsage = true; // leaf only: extended key usage codeSigning
    bool otherUsageOnly = false; // leaf only: extended key usage serverAuth instead
    long validFromDays = -1; // relative to now
    long validUntilDays = 365;
};

// A new P-256 key.
[[nodiscard]] KeyPointer newKey();

// Issues a certificate for a new key, signed by `issuer` (self-signed when there is none).
[[nodiscard]] TestCertificate issue(const CertificateOptions& options, const TestCertificate* issuer);

[[nodiscard]] std::string pem(X509* certificate);
[[nodiscard]] std::string pem(EVP_PKEY* key);

// A signing identity with its own references to the certificates and keys.
[[nodiscard]] SigningIdentity identity(
    const TestCertificate& leaf, const std::vector<const TestCertificate*>& chain = {});

// The usual cast: two anchors, the team's leaf under the first, and variants that must fail.
struct TestPki {
    TestCertificate anchor;
    TestCertificate otherAnchor;
    TestCertificate intermediate; // a CA under `anchor`
    TestCertificate team; // OU = kTeam, code signing, issued by `anchor`
    TestCertificate otherTeam; // OU = another team
    TestCertificate teamUnderOtherAnchor; // OU = kTeam, issued by `otherAnchor`
    TestCertificate teamWithoutCodeSigning; // OU = kTeam, extended key usage serverAuth only
    TestCertificate teamWithoutUsage; // OU = kTeam, no extended key usage at all
    TestCertificate teamUnderIntermediate; // OU = kTeam, issued by `intermediate`
    TestCertificate expiredTeam; // OU = kTeam, expired yesterday

    [[nodiscard]] std::string anchorPem() const { return pem(anchor.certificate.get()); }
};

[[nodiscard]] const TestPki& testPki();

} // namespace quorvantile::codesign::testing
