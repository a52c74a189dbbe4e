#include "TestSupport.h"

#include "codesign/CodeDirectory.h"
#include "codesign/Requirement.h"
#include "codesign/SignatureFormat.h"

#include <gtest/gtest.h>

namespace quorvantile::codesign {
namespace {

using namespace std::string_literals;
using testing::refusalOf;

TEST(SignatureFormat, TrailerLocatesTheBlockOnlyInsideTheFileAndCodeDirectoryIsExactlyTheDocumentedLines)
{
    // Version 1, four reserved bytes, the CMS length in eight bytes (all big-endian), then the magic.
    EXPECT_EQ(encodeSignatureTail(0x0102), "\0\0\0\1\0\0\0\0\0\0\0\0\0\0\1\2"s + std::string(kSignatureMagic));
    const auto tail = [](std::uint64_t cms) { return encodeSignatureTail(cms); };
    const std::uint64_t file = 1000 + 100 + kSignatureTailBytes;
    EXPECT_EQ(*parseSignatureTail(tail(100), file), (SignatureLayout {1000, 100, file}));
    using enum SignatureError;
    const struct {
        std::string tail;
        std::uint64_t fileBytes;
        std::optional<SignatureError> refusal;
    } cases[] = {{tail(1100), file, std::nullopt}, // no content: the code directory decides about that
        {testing::bumped(tail(10), -1), 4096, notSigned}, {std::string(kSignatureTailBytes, '\0'), 4096, notSigned},
        {tail(10), kSignatureTailBytes - 1, notSigned}, {tail(10).substr(1), 4096, notSigned},
        {testing::bumped(tail(10), 3), 4096, malformedTrailer}, {testing::bumped(tail(10), 7), 4096, malformedTrailer},
        {tail(0), 4096, malformedTrailer}, {tail(1101), file, malformedTrailer},
        {tail(~std::uint64_t {0}), file, malformedTrailer}, {tail(std::uint64_t {1} << 63), file, malformedTrailer},
        {tail(kMaximumSignatureBlockBytes + 1), std::uint64_t {1} << 40, tooLarge}};
    for (const auto& row : cases) {
        EXPECT_EQ(refusalOf(parseSignatureTail(row.tail, row.fileBytes)), row.refusal)
            << ::testing::PrintToString(row.tail);
    }
    CodeDirectory directory {"com.zembo.quorvantile", {}, 35664};
    for (std::size_t index = 0; index < directory.digest.size(); ++index) {
        directory.digest[index] = static_cast<unsigned char>(index * 7 + 1);
    }
    const std::string good = encodeCodeDirectory(directory);
    EXPECT_EQ(good,
        "quorvantile-code-directory 1\n"
        "identifier com.zembo.quorvantile\n"
        "hash-algorithm sha256\n"
        "hash 01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da\n"
        "size 35664\n");
    EXPECT_EQ(parseCodeDirectory(good), directory);
    const auto edited = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string id = "com.zembo.quorvantile";
    EXPECT_TRUE(parseCodeDirectory(edited(id, std::string(kMaximumIdentifierBytes, 'a'))));
    const std::pair<std::string, std::string> refused[] = {{"directory 1", "directory 2"}, {"sha256", "sha1"},
        {id, "a b"}, {id, "\"a\""}, {id, "a\\b"}, {id, "caf\xc3\xa9"}, {id, ""},
        {id, std::string(kMaximumIdentifierBytes + 1, 'a')}, {"hash 01", "hash 1"}, {"da\n", "DA\n"},
        {"size 3", "size 03"}, {"size 35664", "size -1"}, {"size 35664", "size 18446744073709551616"},
        {"size 35664\n", "size 35664"}, {"size 35664\n", "size 35664\n\n"}, {"size 35664\n", "size 35664\nextra 1\n"},
        {"identifier " + id + "\nhash-algorithm sha256\n", "hash-algorithm sha256\nidentifier " + id + "\n"}};
    for (const auto& [from, to] : refused) {
        EXPECT_FALSE(parseCodeDirectory(edited(from, to))) << from << " -> " << to;
    }
}

using Kind = RequirementClause::Kind;

constexpr std::string_view kParentRequirement =
    R"(anchor apple generic and certificate leaf[subject.OU] = "7Q4KX2M8PZ" and identifier "com.zembo.quorvantile")";

TEST(Requirement, ParsesEachClauseInAnyOrderAndSpacingRefusesNearMissesAndOversizedInputAndHoldsOnlyExactly)
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
    VerifiedSignature parent {{"com.zembo.quorvantile"}, "7Q4KX2M8PZ", {}, true, 0};
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

TEST(HostileInput, NoCutOfACodeDirectoryAndOnlyWholeClausesOfARequirementParse)
{
    const std::string directory = encodeCodeDirectory({"com.zembo.quorvantile", {}, 123456});
    for (std::size_t length = 0; length < directory.size(); ++length) {
        EXPECT_FALSE(parseCodeDirectory(directory.substr(0, length))) << length;
    }
    const std::string requirement(kParentRequirement);
    const std::size_t afterAnchor = requirement.find(" and");
    const std::size_t afterTeam = requirement.find(" and", afterAnchor + 1);
    for (std::size_t length = 0; length < requirement.size(); ++length) {
        std::string prefix = requirement.substr(0, length);
        const bool accepted = parseRequirement(prefix).has_value();
        prefix.erase(prefix.find_last_not_of(' ') + 1);
        EXPECT_EQ(accepted, prefix.size() == afterAnchor || prefix.size() == afterTeam) << prefix;
    }
}

} // namespace
} // namespace quorvantile::codesign
