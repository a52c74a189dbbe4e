#pragma once

#include "codesign/VerifiedSignature.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The requirement language, reduced to the clauses this system uses:
//
//   anchor apple generic                      the chain ends at a vendor anchor
//   certificate leaf[subject.OU] = "TEAM"     the signer's organisational unit is TEAM
//   identifier "ID"                           the signed identifier is ID
//
// joined by `and`. Any other text, however close, is refused, so that a typing error can never
// turn into a weaker requirement.
namespace quorvantile::codesign {

inline constexpr std::size_t kMaximumRequirementBytes = 1024;
inline constexpr std::size_t kMaximumRequirementClauses = 8;

struct RequirementClause {
    enum class Kind { vendorAnchor, leafOrganizationalUnit, identifier };
    Kind kind = Kind::vendorAnchor;
    std::string value; // empty for vendorAnchor

    friend bool operator==(const RequirementClause&, const RequirementClause&) = default;
};

struct Requirement {
    std::vector<RequirementClause> clauses; // never empty once parsed

    friend bool operator==(const Requirement&, const Requirement&) = default;
};

[[nodiscard]] std::optional<Requirement> parseRequirement(std::string_view text);

// Whether every clause holds for `signature`.
[[nodiscard]] bool satisfies(const Requirement& requirement, const VerifiedSignature& signature);

} // namespace quorvantile::codesign
