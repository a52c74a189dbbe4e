#pragma once

#include "codesign/Checked.h"
#include "codesign/SignatureError.h"
#include "codesign/VerifiedSignature.h"

#include <filesystem>
#include <string>
#include <string_view>

struct quorvantile_verifier;
struct quorvantile_verifier_functions;

namespace quorvantile {

// The signature verifier, loaded from its module (libquorvantile-verifier.so) on first use, so that
// the crypto library it needs is mapped only by a server that has had to verify an executable.
// Once loaded, the module stays for the rest of the process: the crypto library registers its own
// clean-up at exit, and unloading it under a running program gains nothing.
class VerifierModule {
public:
    // Loads the module at `path` and makes a verifier of `anchorsPem` in it; the reason, in one line,
    // when the module is missing, cannot be loaded, is of another build or cannot make one.
    [[nodiscard]] static codesign::Checked<VerifierModule, std::string> load(
        const std::filesystem::path& path, std::string_view anchorsPem);

    VerifierModule(VerifierModule&& other) noexcept;
    VerifierModule& operator=(VerifierModule&& other) noexcept;
    VerifierModule(const VerifierModule&) = delete;
    VerifierModule& operator=(const VerifierModule&) = delete;
    ~VerifierModule();

    // As codesign::SignatureVerifier::verify: reads only through `fd`.
    [[nodiscard]] codesign::Checked<codesign::VerifiedSignature, codesign::SignatureError> verify(int fd) const;

private:
    VerifierModule(const quorvantile_verifier_functions* functions, quorvantile_verifier* verifier) noexcept
        : functions_(functions), verifier_(verifier)
    {
    }

    const quorvantile_verifier_functions* functions_ = nullptr;
    quorvantile_verifier* verifier_ = nullptr;
};

// Where the module is installed: a fixed place relative to this program's own executable (the same
// in the build tree), never a path from the environment. Empty when the executable is unknown.
[[nodiscard]] std::filesystem::path verifierModulePath();

} // namespace quorvantile
