#pragma once

#include <cstddef>
#include <cstdint>

// The boundary between the server and the signature verifier, which lives in a module that the
// server loads only when a peer's executable must first be verified: until then the crypto library
// is neither loaded nor initialised. Plain C types only, so that no C++ object, allocator or
// exception crosses it; the module's texts are valid only during the call that gives them.
extern "C" {

struct quorvantile_text {
    const char* data;
    std::size_t size;
};

// What a successful verification established (codesign::VerifiedSignature, flattened).
struct quorvantile_verified_signature {
    quorvantile_text identifier;
    unsigned char digest[32];
    std::uint64_t content_bytes;
    int has_team; // whether `team` holds the leaf's one organisational unit
    quorvantile_text team;
    const quorvantile_text* chain_subjects; // the signer first and the anchor last
    std::size_t chain_subject_count;
    int anchored_at_vendor;
    std::int64_t valid_until_seconds;
};

struct quorvantile_verifier;

// Called once, during quorvantile_verifier_functions::verify, with a verified file's signature.
typedef void (*quorvantile_receive_signature)(void* context, const quorvantile_verified_signature* signature);

struct quorvantile_verifier_functions {
    std::uint32_t version; // kVerifierInterfaceVersion of the module's build
    // A verifier of the PEM anchors given; null when it could not be made (out of memory).
    quorvantile_verifier* (*create)(const char* anchors_pem, std::size_t anchors_bytes);
    // Reads only through `fd`. 0 when the file's signature is valid, after `receive` has been called;
    // otherwise 1 + the codesign::SignatureError that refused it.
    int (*verify)(const quorvantile_verifier* verifier, int fd, quorvantile_receive_signature receive, void* context);
    void (*destroy)(quorvantile_verifier* verifier);
};

// The module's one exported symbol.
const quorvantile_verifier_functions* quorvantile_verifier_module(void);
}

namespace quorvantile::codesign {

// Raised whenever the structures or the meaning of the functions above change: a module of another
// build is then refused rather than misread.
inline constexpr std::uint32_t kVerifierInterfaceVersion = 1;
inline constexpr const char* kVerifierEntrySymbol = "quorvantile_verifier_module";
inline constexpr int kVerifiedStatus = 0;

} // namespace quorvantile::codesign
