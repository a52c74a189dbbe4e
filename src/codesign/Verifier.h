#pragma once

#include "codesign/Checked.h"
#include "codesign/OpenSsl.h"
#include "codesign/SignatureError.h"
#include "codesign/SignatureFormat.h"
#include "codesign/VerifiedSignature.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile::codesign {

// Checks signed files against a fixed set of vendor anchors: the signature block must be well
// formed, its one signer's certificate must chain to one of the anchors (and to nothing else: the
// system's certificate authorities are never consulted, nor the network) and carry the code-signing
// usage, and the signed code directory must describe the file's bytes exactly.
class SignatureVerifier {
public:
    // `anchorsPem` holds the anchors' certificates. A text without any, or with a damaged one,
    // leaves the verifier without anchors: it then refuses every file.
    explicit SignatureVerifier(std::string_view anchorsPem);

    [[nodiscard]] bool hasAnchors() const noexcept { return !anchors_.empty(); }

    // Reads only through `fd` (by offset; the file position is not used).
    [[nodiscard]] Checked<VerifiedSignature, SignatureError> verify(int fd) const;

private:
    std::vector<CertificatePointer> anchors_;
    StorePointer store_;
};

// What a signature block claims, without deciding whether to believe it: for display only.
struct SignatureDescription {
    SignatureLayout layout;
    std::optional<CodeDirectory> directory;
    std::optional<std::string> leafOrganizationalUnit;
    std::vector<std::string> certificateSubjects; // the signer first, then the others as stored
    bool digestMatches = false; // the directory's hash and size match the file
};

[[nodiscard]] Checked<SignatureDescription, SignatureError> describeSignature(int fd);

} // namespace quorvantile::codesign
