#pragma once

#include "codesign/Checked.h"
#include "codesign/OpenSsl.h"
#include "codesign/SignatureFormat.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile::codesign {

struct SigningFailure {
    std::string message;
};

// The signer's certificate and key, and the intermediate certificates that link it to an anchor.
struct SigningIdentity {
    CertificatePointer certificate;
    KeyPointer key;
    std::vector<CertificatePointer> chain;
};

// From PEM texts. Refuses a certificate without the code-signing usage (its signatures would never
// verify), a key that does not belong to it, and encrypted keys.
[[nodiscard]] Checked<SigningIdentity, SigningFailure> loadSigningIdentity(
    std::string_view certificatePem, std::string_view keyPem, std::optional<std::string_view> chainPem);

// The complete appended block (CMS, trailer, magic) for `codeDirectory`.
[[nodiscard]] Checked<std::string, SigningFailure> signatureBlock(
    std::string_view codeDirectory, const SigningIdentity& identity);

// Signs `path` in place as `identifier`. An existing signature block is replaced, never stacked.
// The signed file is written beside the original and renamed over it, with the original's mode
// (and owner, where that differs), so that a reader sees either the old or the new file.
[[nodiscard]] Checked<SignatureLayout, SigningFailure> signFile(
    const std::filesystem::path& path, std::string_view identifier, const SigningIdentity& identity);

} // namespace quorvantile::codesign
