#include "TestSupport.h"

#include "codesign/CodeDirectory.h"
#include "codesign/Requirement.h"
#include "codesign/Verifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

// Hostile input: the readers must answer (mostly "no") on any bytes, and never accept a changed file.
namespace quorvantile::codesign {
namespace {

constexpr int kRandomRounds = 20000;

// `text` with a few bytes inserted, replaced or removed; now and then random bytes instead.
std::string damaged(std::mt19937_64& random, std::string text)
{
    if (random() % 4 == 0) {
        std::generate(text.begin(), text.end(), [&] { return static_cast<char>(random()); });
        return text.substr(random() % (text.size() + 1));
    }
    for (auto edits = 1 + random() % 4; edits > 0; --edits) {
        const std::size_t position = random() % (text.size() + 1);
        const std::string inserted(random() % 2, static_cast<char>(random()));
        text.replace(position, random() % 2, inserted);
    }
    return text;
}

TEST(HostileInput, ParsersAreSafeOnAnyBytesAndNeverWiden)
{
    std::mt19937_64 random(1);
    const std::string directory = encodeCodeDirectory({"com.zembo.quorvantile", {}, 123456});
    const std::string requirement =
        R"(anchor apple generic and certificate leaf[subject.OU] = "7Q4KX2M8PZ" and identifier "com.zembo.quorvantile")";
    const std::string tail = encodeSignatureTail(1000);
    for (int round = 0; round < kRandomRounds; ++round) {
        const std::uint64_t fileBytes = random() % 2 == 0 ? random() : random() % 5000;
        if (const auto layout = parseSignatureTail(damaged(random, tail), fileBytes)) {
            EXPECT_EQ(layout->contentBytes + layout->cmsBytes + kSignatureTailBytes, fileBytes);
            EXPECT_GE(layout->cmsBytes, 1U);
            EXPECT_LE(layout->cmsBytes, kMaximumSignatureBlockBytes);
        }
        const std::string directoryText = damaged(random, directory);
        if (const auto parsed = parseCodeDirectory(directoryText)) {
            EXPECT_EQ(encodeCodeDirectory(*parsed), directoryText); // only the canonical form
        }
        if (const auto parsed = parseRequirement(damaged(random, requirement))) {
            ASSERT_FALSE(parsed->clauses.empty());
            for (const RequirementClause& clause : parsed->clauses) {
                EXPECT_EQ(clause.kind == RequirementClause::Kind::vendorAnchor, clause.value.empty());
                EXPECT_TRUE(clause.value.empty() || isValidIdentifier(clause.value));
            }
        }
    }
    // Every cut of a code directory is refused; a requirement cut only after a whole clause remains one.
    const std::size_t afterAnchor = requirement.find(" and");
    const std::size_t afterTeam = requirement.find(" and", afterAnchor + 1);
    for (std::size_t length = 0; length < directory.size(); ++length) {
        EXPECT_FALSE(parseCodeDirectory(directory.substr(0, length))) << length;
    }
    for (std::size_t length = 0; length < requirement.size(); ++length) {
        std::string prefix = requirement.substr(0, length);
        const bool accepted = parseRequirement(prefix).has_value();
        prefix.erase(prefix.find_last_not_of(' ') + 1);
        EXPECT_EQ(accepted, prefix.size() == afterAnchor || prefix.size() == afterTeam) << prefix;
    }
}

TEST(HostileInput, NoCutOrChangedByteOfASignedFileIsAcceptedAsSomethingElse)
{
    const testing::TemporaryDirectory directory;
    const auto path = directory / "program";
    const std::string content(1000, 'c');
    testing::writeFile(path, content);
    ASSERT_TRUE(signFile(path, "com.zembo.quorvantile", testing::testPki().team));
    const std::string signedBytes = testing::readFile(path);
    const SignatureVerifier verifier(testing::testPki().anchorPem());
    // Verifies `bytes` as the file; also runs the display reader over it.
    const auto verify = [&](const std::string& bytes) {
        testing::writeFile(path, bytes);
        const UniqueFd fd = testing::openFile(path);
        static_cast<void>(describeSignature(fd.get()));
        return verifier.verify(fd.get());
    };
    const auto original = verify(signedBytes);
    ASSERT_TRUE(original);
    std::mt19937_64 random(2);
    for (std::size_t position = 0; position < signedBytes.size(); ++position) {
        EXPECT_FALSE(verify(signedBytes.substr(0, position))) << "cut at " << position;
        std::string changed = signedBytes;
        changed[position] = static_cast<char>(changed[position] ^ static_cast<char>(1 + random() % 255));
        // A change the encoding tolerates may verify, but only as exactly what was signed.
        if (const auto result = verify(changed)) {
            EXPECT_GE(position, content.size());
            EXPECT_EQ(*result, *original) << "changed at " << position;
        }
    }
}

} // namespace
} // namespace quorvantile::codesign
