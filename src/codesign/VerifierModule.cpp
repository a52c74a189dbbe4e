// The signature verifier as a loadable module (see VerifierModuleInterface.h): the only code of the
// server that needs the crypto library.
#include "codesign/Verifier.h"
#include "codesign/VerifierModuleInterface.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace {

using quorvantile::codesign::SignatureError;
using quorvantile::codesign::SignatureVerifier;
using quorvantile::codesign::VerifiedSignature;

quorvantile_text text(std::string_view value) { return quorvantile_text {value.data(), value.size()}; }

int errorStatus(SignatureError error) { return 1 + static_cast<int>(error); }

quorvantile_verifier* create(const char* anchorsPem, std::size_t anchorsBytes)
{
    try {
        auto* verifier = new SignatureVerifier(std::string_view(anchorsPem, anchorsBytes));
        return reinterpret_cast<quorvantile_verifier*>(verifier);
    } catch (...) {
        return nullptr;
    }
}

int verify(const quorvantile_verifier* handle, int fd, quorvantile_receive_signature receive, void* context)
{
    if (handle == nullptr || receive == nullptr) {
        return errorStatus(SignatureError::unreadable);
    }
    try {
        const auto& verifier = *reinterpret_cast<const SignatureVerifier*>(handle);
        const auto verified = verifier.verify(fd);
        if (!verified) {
            return errorStatus(verified.error());
        }
        const VerifiedSignature& signature = *verified;
        std::vector<quorvantile_text> subjects;
        subjects.reserve(signature.chainSubjects.size());
        for (const auto& subject : signature.chainSubjects) {
            subjects.push_back(text(subject));
        }
        quorvantile_verified_signature flat {};
        flat.identifier = text(signature.directory.identifier);
        static_assert(sizeof flat.digest == sizeof signature.directory.digest);
        std::copy(signature.directory.digest.begin(), signature.directory.digest.end(), flat.digest);
        flat.content_bytes = signature.directory.contentBytes;
        flat.has_team = signature.leafOrganizationalUnit ? 1 : 0;
        if (signature.leafOrganizationalUnit) {
            flat.team = text(*signature.leafOrganizationalUnit);
        }
        flat.chain_subjects = subjects.data();
        flat.chain_subject_count = subjects.size();
        flat.anchored_at_vendor = signature.anchoredAtVendor ? 1 : 0;
        flat.valid_until_seconds = signature.validUntilSeconds;
        receive(context, &flat);
        return quorvantile::codesign::kVerifiedStatus;
    } catch (...) {
        // Out of memory on the way: not trusted, and nothing thrown across the boundary.
        return errorStatus(SignatureError::unreadable);
    }
}

void destroy(quorvantile_verifier* handle) { delete reinterpret_cast<SignatureVerifier*>(handle); }

constexpr quorvantile_verifier_functions kFunctions {
    quorvantile::codesign::kVerifierInterfaceVersion, create, verify, destroy};

} // namespace

extern "C" __attribute__((visibility("default"))) const quorvantile_verifier_functions* quorvantile_verifier_module(
    void)
{
    return &kFunctions;
}
