// The requirement language.
#include "FuzzSupport.h"
#include "codesign/CodeDirectory.h"
#include "codesign/Requirement.h"

using namespace quorvantile;
using fuzzing::require;

namespace {

std::string render(const codesign::Requirement& requirement)
{
    std::string text;
    for (const auto& clause : requirement.clauses) {
        if (!text.empty()) {
            text += " and ";
        }
        switch (clause.kind) {
        case codesign::RequirementClause::Kind::vendorAnchor:
            text += "anchor apple generic";
            break;
        case codesign::RequirementClause::Kind::leafOrganizationalUnit:
            text += "certificate leaf[subject.OU] = \"" + clause.value + "\"";
            break;
        case codesign::RequirementClause::Kind::identifier:
            text += "identifier \"" + clause.value + "\"";
            break;
        }
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto requirement = codesign::parseRequirement(fuzzing::text(data, size));
    if (!requirement) {
        return 0;
    }
    require(size <= codesign::kMaximumRequirementBytes, "bounded text");
    require(!requirement->clauses.empty() && requirement->clauses.size() <= codesign::kMaximumRequirementClauses,
        "1 to 8 clauses");
    for (const auto& clause : requirement->clauses) {
        require(clause.kind == codesign::RequirementClause::Kind::vendorAnchor
                ? clause.value.empty()
                : codesign::isValidIdentifier(clause.value),
            "quoted values are identifiers");
    }
    require(codesign::parseRequirement(render(*requirement)) == requirement, "the canonical text parses the same");
    return 0;
}
