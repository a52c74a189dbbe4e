#pragma once

#include "codesign/CodeDirectory.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvantile::codesign {

// What a successful verification established about a file.
struct VerifiedSignature {
    CodeDirectory directory;
    // The subject's organisational unit (the team) when the leaf names exactly one; a subject with
    // several would make "the" team ambiguous, so it has none.
    std::optional<std::string> leafOrganizationalUnit;
    // One-line subjects, the signer first and the anchor last.
    std::vector<std::string> chainSubjects;
    // The chain ends at one of the configured vendor anchors.
    bool anchoredAtVendor = false;
    // The earliest end of validity in the chain, in seconds since the epoch: a remembered
    // verification is not trusted past it.
    std::int64_t validUntilSeconds = 0;

    friend bool operator==(const VerifiedSignature&, const VerifiedSignature&) = default;
};

} // namespace quorvantile::codesign
