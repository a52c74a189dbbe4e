#include "codesign/Requirement.h"

#include <gtest/gtest.h>

namespace quorvantile::codesign {
namespace {

using Kind = RequirementClause::Kind;

constexpr std::string_view kParentRequirement =
    R"(anchor apple generic and certificate leaf[subject.OU] = "7Q4KX2M8PZ" and identifier "com.zembo.quorvantile")";

TEST(RequirementParser, AcceptsEachClauseInAnyOrderAndSpacingAndRefusesNearMissesAndOversizedInput)
{
    EXPECT_EQ(parseRequirement(kParentRequirement),
        (Requirement {{{Kind::vendorAnchor, ""}, {Kind::leafOrganizationalUnit, "7Q4KX2M8PZ"},
            {Kind::identifier, "com.zembo.quorvantile"}}}));
    for (const std::string_view text : {"anchor apple generic", R"(certificate leaf[subject.OU]="T")",
             "  identifier \"a\"\tand\n anchor   apple generic  ",
             R"(certificate leaf [ subject.OU ] = "T" and identifier "a")"}) {
        EXPECT_TRUE(parseRequirement(text)) << text;
    }
    for (const std::string_view text : {"", "   ", "anchor apple", "anchor apple generic and",
             "and anchor apple generic", "anchor apple generic and and identifier \"a\"",
             "anchor apple generic or identifier \"a\"", "anchor apple generic AND identifier \"a\"",
             "Anchor apple generic", "anchor trusted", "anchor apple generic2", "anchor apple generic identifier \"a\"",
             "identifier a", "identifier \"a", "identifier a\"", "identifier \"\"", "identifier \"a b\"",
             "identifier \"a\\\"b\"", "identifier = \"a\"", "identifier \"a\" \"b\"", "identifier \"a\" trailing",
             "identifier \"a\";", "!identifier \"a\"", "(identifier \"a\")", "certificate leaf[subject.CN] = \"T\"",
             "certificate root[subject.OU] = \"T\"", "certificate leaf[subject.OU] \"T\"",
             "certificate leaf[subject.OU] = T", "certificate leaf[subject.OU = \"T\"",
             "certificate leaf[subject.OU] ~ \"T\"", "info [x] = \"a\"", "entitlement[\"a\"] exists"}) {
        EXPECT_FALSE(parseRequirement(text)) << text;
    }
    std::string many = "identifier \"a\"";
    for (std::size_t count = 1; count < kMaximumRequirementClauses; ++count) {
        many += " and identifier \"a\"";
    }
    EXPECT_TRUE(parseRequirement(many));
    EXPECT_FALSE(parseRequirement(many + " and identifier \"a\""));
    EXPECT_FALSE(parseRequirement("identifier \"" + std::string(kMaximumRequirementBytes, 'a') + "\""));
}

TEST(RequirementEvaluation, EveryClauseMustHoldExactly)
{
    VerifiedSignature parent {.directory = {"com.zembo.quorvantile"},
        .leafOrganizationalUnit = "7Q4KX2M8PZ",
        .chainSubjects = {},
        .anchoredAtVendor = true};
    const auto holds = [&](std::string_view text) { return satisfies(*parseRequirement(text), parent); };
    EXPECT_TRUE(holds(kParentRequirement));
    EXPECT_FALSE(holds(R"(identifier "com.zembo.Quorvantile")"));
    EXPECT_FALSE(holds(R"(identifier "com.zembo.quorvantil")"));
    EXPECT_FALSE(holds(R"(certificate leaf[subject.OU] = "7q4kx2m8pz")"));
    EXPECT_FALSE(satisfies(Requirement {}, parent));
    // Each change below is asked about by the one clause it breaks.
    parent.directory.identifier += ".sensors";
    EXPECT_FALSE(holds(R"(identifier "com.zembo.quorvantile")"));
    parent.leafOrganizationalUnit.reset();
    EXPECT_FALSE(holds(R"(certificate leaf[subject.OU] = "7Q4KX2M8PZ")"));
    parent.anchoredAtVendor = false;
    EXPECT_FALSE(holds("anchor apple generic"));
}

} // namespace
} // namespace quorvantile::codesign
