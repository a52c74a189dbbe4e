#pragma once

#include "codesign/OpenSsl.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile::codesign {

// An anchor file or a chain file of more certificates than this is not one we wrote.
inline constexpr std::size_t kMaximumPemCertificates = 1024;

// Every certificate of a PEM text, in order; absent when there is none, when one is damaged, or
// when there are more than kMaximumPemCertificates.
[[nodiscard]] std::optional<std::vector<CertificatePointer>> parseCertificates(std::string_view pem);

// An unencrypted private key in PEM; absent otherwise (an encrypted key is refused rather than
// prompting for a passphrase in the middle of a build).
[[nodiscard]] KeyPointer parsePrivateKey(std::string_view pem);

// The subject as one line of text, with control characters escaped.
[[nodiscard]] std::string subjectLine(X509* certificate);

// The subject's organisational unit when there is exactly one; absent when there is none, when
// there are several, or when it cannot be read as UTF-8 without zero bytes.
[[nodiscard]] std::optional<std::string> singleOrganizationalUnit(X509* certificate);

// The certificate carries the extended key usage code signing (an absent extension does not
// count), and, if it restricts its key usage, allows digital signatures.
[[nodiscard]] bool isCodeSigningCertificate(X509* certificate);

} // namespace quorvantile::codesign
