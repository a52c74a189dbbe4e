#include "codesign/Requirement.h"

#include <gtest/gtest.h>

namespace quorvantile::codesign {
namespace {

using Kind = RequirementClause::Kind;

constexpr std::string_view kParentRequirement =
    R"(anchor apple generic and certificate leaf[subject.OU] = "7Q4KX2M8PZ" and identifier "com.zembo.quorvantile")";

VerifiedSignature parentSignature()
{
    VerifiedSignature signature;
    signature.directory.identifier = "com.zembo.quorvantile";
    signature.leafOrganizationalUnit = "7Q4KX2M8PZ";
    signature.anchoredAtVendor = true;
    return signature;
}

TEST(RequirementParser, AcceptsTheServersRequirement)
{
    const auto requirement = parseRequirement(kParentRequirement);
    ASSERT_TRUE(requirement);
    EXPECT_EQ(requirement->clauses,
        (std::vector<RequirementClause> {{Kind::vendorAnchor, ""}, {Kind::leafOrganizationalUnit, "7Q4KX2M8PZ"},
            {Kind::identifier, "com.zembo.quorvantile"}}));
}

TEST(RequirementParser, AcceptsEachClauseAloneAndAnyOrderAndSpacing)
{
    EXPECT_TRUE(parseRequirement("anchor apple generic"));
    EXPECT_TRUE(parseRequirement(R"(identifier "a")"));
    EXPECT_TRUE(parseRequirement(R"(certificate leaf[subject.OU]="T")"));
    EXPECT_TRUE(parseRequirement("  identifier \"a\"\tand\n anchor   apple generic  "));
    EXPECT_TRUE(parseRequirement(R"(certificate leaf [ subject.OU ] = "T" and identifier "a")"));
}

TEST(RequirementParser, RefusesNearMisses)
{
    for (const std::string_view text : {
             "",
             "   ",
             "anchor apple",
             "anchor apple generic and",
             "and anchor apple generic",
             "anchor apple generic and and identifier \"a\"",
             "anchor apple generic or identifier \"a\"",
             "anchor apple generic AND identifier \"a\"",
             "Anchor apple generic",
             "anchor trusted",
             "anchor apple generic2",
             "anchor apple generic identifier \"a\"",
             "identifier a",
             "identifier \"a",
             "identifier a\"",
             "identifier \"\"",
             "identifier \"a b\"",
             "identifier \"a\\\"b\"",
             "identifier = \"a\"",
             "identifier \"a\" \"b\"",
             "identifier \"a\" trailing",
             "identifier \"a\";",
             "!identifier \"a\"",
             "(identifier \"a\")",
             "certificate leaf[subject.CN] = \"T\"",
             "certificate root[subject.OU] = \"T\"",
             "certificate 1[subject.OU] = \"T\"",
             "certificate leaf[subject.OU] \"T\"",
             "certificate leaf[subject.OU] = T",
             "certificate leaf[subject.OU = \"T\"",
             "certificate leaf subject.OU] = \"T\"",
             "certificate leaf[subject.OU] ~ \"T\"",
             "info [x] = \"a\"",
             "entitlement[\"a\"] exists",
             "anchor apple generic and certificate leaf[subject.OU] = \"7Q4KX2M8PZ\" and identifier "
             "\"com.zembo.quorvantile\" or identifier \"x\"",
         }) {
        EXPECT_FALSE(parseRequirement(text)) << text;
    }
}

TEST(RequirementParser, BoundsItsInput)
{
    std::string many = "identifier \"a\"";
    for (std::size_t count = 1; count < kMaximumRequirementClauses; ++count) {
        many += " and identifier \"a\"";
    }
    EXPECT_TRUE(parseRequirement(many));
    EXPECT_FALSE(parseRequirement(many + " and identifier \"a\""));
    EXPECT_FALSE(parseRequirement("identifier \"" + std::string(kMaximumRequirementBytes, 'a') + "\""));
}

TEST(RequirementEvaluation, EveryClauseMustHold)
{
    const auto requirement = parseRequirement(kParentRequirement);
    ASSERT_TRUE(requirement);
    EXPECT_TRUE(satisfies(*requirement, parentSignature()));

    auto otherIdentifier = parentSignature();
    otherIdentifier.directory.identifier = "com.zembo.quorvantile.sensors";
    EXPECT_FALSE(satisfies(*requirement, otherIdentifier));

    auto otherTeam = parentSignature();
    otherTeam.leafOrganizationalUnit = "7Q4KX2M8PY";
    EXPECT_FALSE(satisfies(*requirement, otherTeam));

    auto noTeam = parentSignature();
    noTeam.leafOrganizationalUnit.reset();
    EXPECT_FALSE(satisfies(*requirement, noTeam));

    auto notAnchored = parentSignature();
    notAnchored.anchoredAtVendor = false;
    EXPECT_FALSE(satisfies(*requirement, notAnchored));
    EXPECT_FALSE(satisfies(*parseRequirement("anchor apple generic"), notAnchored));
}

TEST(RequirementEvaluation, ComparesExactly)
{
    auto signature = parentSignature();
    EXPECT_FALSE(satisfies(*parseRequirement(R"(identifier "com.zembo.Quorvantile")"), signature));
    EXPECT_FALSE(satisfies(*parseRequirement(R"(identifier "com.zembo.quorvantil")"), signature));
    EXPECT_FALSE(satisfies(*parseRequirement(R"(certificate leaf[subject.OU] = "7q4kx2m8pz")"), signature));
    EXPECT_FALSE(satisfies(Requirement {}, signature));
}

} // namespace
} // namespace quorvantile::codesign
