#include "TestFiles.h"
#include "TestIdentities.h"

#include "codesign/CodeDirectory.h"
#include "codesign/Requirement.h"
#include "codesign/SignatureFormat.h"
#include "codesign/Signer.h"
#include "codesign/Verifier.h"

#include <gtest/gtest.h>

#include <random>

// Hostile input: the readers must answer (mostly "no") on any bytes, and never accept a changed file.
namespace quorvantile::codesign {
namespace {

constexpr int kRandomRounds = 20000;

std::string randomBytes(std::mt19937_64& random, std::size_t maximum)
{
    std::string bytes(random() % (maximum + 1), '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// Changes, inserts or removes a few bytes.
std::string mutate(std::mt19937_64& random, std::string text)
{
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int edit = 0; edit < edits && !text.empty(); ++edit) {
        const std::size_t position = random() % text.size();
        switch (random() % 3) {
        case 0:
            text[position] = static_cast<char>(random());
            break;
        case 1:
            text.insert(position, 1, static_cast<char>(random()));
            break;
        default:
            text.erase(position, 1);
            break;
        }
    }
    return text;
}

TEST(HostileInput, TrailerReaderIsSafeOnAnyBytes)
{
    std::mt19937_64 random(1);
    for (int round = 0; round < kRandomRounds; ++round) {
        std::string tail = randomBytes(random, kSignatureTrailerBytes);
        if (random() % 2 == 0) {
            tail = tail.substr(0, std::min(tail.size(), kSignatureTrailerBytes)) + std::string(kSignatureMagic);
        }
        const std::uint64_t fileBytes = random() % 2 == 0 ? random() : random() % 100000;
        const auto layout = parseSignatureTail(tail, fileBytes);
        if (layout) {
            EXPECT_EQ(layout->contentBytes + layout->cmsBytes + kSignatureTailBytes, fileBytes);
            EXPECT_GE(layout->cmsBytes, 1U);
            EXPECT_LE(layout->cmsBytes, kMaximumSignatureBlockBytes);
        }
    }
}

TEST(HostileInput, CodeDirectoryParserAcceptsOnlyItsCanonicalForm)
{
    std::mt19937_64 random(2);
    const std::string good = encodeCodeDirectory({"com.zembo.quorvantile", {}, 123456});
    for (int round = 0; round < kRandomRounds; ++round) {
        const std::string text = round % 4 == 0 ? randomBytes(random, 300) : mutate(random, good);
        if (const auto directory = parseCodeDirectory(text)) {
            EXPECT_EQ(encodeCodeDirectory(*directory), text);
        }
    }
    for (std::size_t length = 0; length < good.size(); ++length) {
        EXPECT_FALSE(parseCodeDirectory(good.substr(0, length))) << length;
    }
}

TEST(HostileInput, RequirementParserIsSafeAndNeverWidens)
{
    std::mt19937_64 random(3);
    const std::string good =
        R"(anchor apple generic and certificate leaf[subject.OU] = "7Q4KX2M8PZ" and identifier "com.zembo.quorvantile")";
    for (int round = 0; round < kRandomRounds; ++round) {
        const std::string text = round % 4 == 0 ? randomBytes(random, 200) : mutate(random, good);
        if (const auto requirement = parseRequirement(text)) {
            ASSERT_FALSE(requirement->clauses.empty());
            for (const RequirementClause& clause : requirement->clauses) {
                EXPECT_EQ(clause.kind == RequirementClause::Kind::vendorAnchor, clause.value.empty());
                if (!clause.value.empty()) {
                    EXPECT_TRUE(isValidIdentifier(clause.value));
                }
            }
        }
    }
    // Only cuts after a whole clause leave a requirement.
    const std::size_t afterAnchor = good.find(" and");
    const std::size_t afterTeam = good.find(" and", afterAnchor + 1);
    for (std::size_t length = 0; length < good.size(); ++length) {
        std::string prefix = good.substr(0, length);
        const bool wholeClauses = parseRequirement(prefix).has_value();
        while (!prefix.empty() && prefix.back() == ' ') {
            prefix.pop_back();
        }
        EXPECT_EQ(wholeClauses, prefix.size() == afterAnchor || prefix.size() == afterTeam) << prefix;
    }
}

class SignedFileDamage : public ::testing::Test {
protected:
    void SetUp() override
    {
        content_ = std::string(1000, 'c');
        testing::writeFile(path(), content_);
        ASSERT_TRUE(signFile(path(), "com.zembo.quorvantile", testing::identity(testing::testPki().team)));
        signed_ = testing::readFile(path());
        const UniqueFd fd = testing::openFile(path());
        const auto verified = verifier_.verify(fd.get());
        ASSERT_TRUE(verified);
        original_ = *verified;
    }

    // Verifies `bytes` as a file; also runs the display reader over it.
    Checked<VerifiedSignature, SignatureError> verifyBytes(const std::string& bytes)
    {
        testing::writeFile(path(), bytes);
        const UniqueFd fd = testing::openFile(path());
        static_cast<void>(describeSignature(fd.get()));
        return verifier_.verify(fd.get());
    }

    std::filesystem::path path() const { return directory_ / "program"; }

    testing::TemporaryDirectory directory_;
    SignatureVerifier verifier_ {testing::testPki().anchorPem()};
    std::string content_;
    std::string signed_;
    VerifiedSignature original_;
};

TEST_F(SignedFileDamage, EveryTruncationIsRefused)
{
    for (std::size_t length = 0; length < signed_.size(); ++length) {
        EXPECT_FALSE(verifyBytes(signed_.substr(0, length))) << length;
    }
}

TEST_F(SignedFileDamage, NoChangedByteIsAcceptedAsSomethingElse)
{
    std::mt19937_64 random(4);
    for (std::size_t position = 0; position < signed_.size(); ++position) {
        std::string damaged = signed_;
        damaged[position] = static_cast<char>(damaged[position] ^ static_cast<char>(1 + random() % 255));
        const auto result = verifyBytes(damaged);
        if (position < content_.size()) {
            EXPECT_FALSE(result) << position;
        } else if (result) {
            // A change the encoding tolerates may verify, but only as exactly what was signed.
            EXPECT_EQ(*result, original_) << position;
        }
    }
}

} // namespace
} // namespace quorvantile::codesign
