#include "TestFiles.h"
#include "TestIdentities.h"

#include "codesign/CodeDirectory.h"
#include "codesign/Signer.h"
#include "codesign/Verifier.h"

#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <ctime>

namespace quorvantile::codesign {
namespace {

using testing::identity;
using testing::openFile;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::testPki;
using testing::writeFile;

constexpr std::string_view kIdentifier = "com.zembo.quorvantile";

std::string program(std::size_t bytes = 40000)
{
    std::string content = "\x7f"
                          "ELF";
    while (content.size() < bytes) {
        content += static_cast<char>((content.size() * 131) % 251);
    }
    return content;
}

Checked<VerifiedSignature, SignatureError> verifyFile(const std::filesystem::path& path, const std::string& anchors)
{
    const UniqueFd fd = openFile(path);
    return SignatureVerifier(anchors).verify(fd.get());
}

SignatureError failureOf(const std::filesystem::path& path, const std::string& anchors = testPki().anchorPem())
{
    const auto result = verifyFile(path, anchors);
    EXPECT_FALSE(result) << path;
    return result ? SignatureError::unreadable : result.error();
}

class SignatureVerification : public ::testing::Test {
protected:
    // Writes `content` as `name` and signs it with `signer`.
    std::filesystem::path signedFile(const std::string& name, const SigningIdentity& signer,
        const std::string& content = program(), std::string_view identifier = kIdentifier)
    {
        const auto path = directory_ / name;
        writeFile(path, content);
        const auto layout = signFile(path, identifier, signer);
        EXPECT_TRUE(layout) << (layout ? "" : layout.error().message);
        return path;
    }

    TemporaryDirectory directory_;
};

TEST_F(SignatureVerification, AcceptsAFileSignedByTheTeam)
{
    const auto path = signedFile("peer", identity(testPki().team));
    const auto result = verifyFile(path, testPki().anchorPem());
    ASSERT_TRUE(result) << describe(result.error());
    EXPECT_EQ(result->directory.identifier, kIdentifier);
    EXPECT_EQ(result->directory.contentBytes, program().size());
    EXPECT_EQ(result->leafOrganizationalUnit, testing::kTeam);
    EXPECT_TRUE(result->anchoredAtVendor);
    ASSERT_EQ(result->chainSubjects.size(), 2U);
    EXPECT_NE(result->chainSubjects.front().find("CN = Team"), std::string::npos);
    EXPECT_NE(result->chainSubjects.back().find("CN = Test Anchor"), std::string::npos);
    EXPECT_GT(result->validUntilSeconds, std::time(nullptr));
    // The signed bytes themselves are untouched.
    EXPECT_EQ(readFile(path).substr(0, program().size()), program());
}

TEST_F(SignatureVerification, AcceptsAnIntermediateCarriedInTheSignatureOnly)
{
    const auto& pki = testPki();
    const auto carried = signedFile("carried", identity(pki.teamUnderIntermediate, {&pki.intermediate}));
    const auto result = verifyFile(carried, pki.anchorPem());
    ASSERT_TRUE(result) << describe(result.error());
    EXPECT_EQ(result->chainSubjects.size(), 3U);
    EXPECT_EQ(failureOf(signedFile("missing", identity(pki.teamUnderIntermediate))), SignatureError::untrustedChain);
}

TEST_F(SignatureVerification, ChainsOnlyToTheConfiguredAnchors)
{
    const auto& pki = testPki();
    const auto path = signedFile("other", identity(pki.teamUnderOtherAnchor));
    EXPECT_EQ(failureOf(path), SignatureError::untrustedChain);
    EXPECT_TRUE(verifyFile(path, pki.anchorPem() + testing::pem(pki.otherAnchor.certificate.get())));
    // An intermediate is no anchor, even when it issued the signer.
    EXPECT_EQ(failureOf(signedFile("intermediate", identity(pki.teamUnderIntermediate)),
                  testing::pem(pki.intermediate.certificate.get())),
        SignatureError::untrustedChain);
    // Nor is the signer's own certificate.
    EXPECT_EQ(failureOf(signedFile("self", identity(pki.team)), testing::pem(pki.team.certificate.get())),
        SignatureError::untrustedChain);
}

TEST_F(SignatureVerification, RequiresTheCodeSigningUsage)
{
    const auto& pki = testPki();
    EXPECT_EQ(failureOf(signedFile("server", identity(pki.teamWithoutCodeSigning))), SignatureError::notForCodeSigning);
    EXPECT_EQ(failureOf(signedFile("any", identity(pki.teamWithoutUsage))), SignatureError::notForCodeSigning);
}

TEST_F(SignatureVerification, RefusesAnExpiredCertificate)
{
    EXPECT_EQ(failureOf(signedFile("expired", identity(testPki().expiredTeam))), SignatureError::untrustedChain);
}

TEST_F(SignatureVerification, RefusesEveryChangeToTheSignedBytes)
{
    const auto path = signedFile("peer", identity(testPki().team));
    const std::string original = readFile(path);
    for (const std::size_t position : {std::size_t {0}, program().size() / 2, program().size() - 1}) {
        std::string changed = original;
        changed[position] = static_cast<char>(changed[position] ^ 0x01);
        writeFile(path, changed);
        EXPECT_EQ(failureOf(path), SignatureError::contentModified) << position;
    }
    // One byte more or less in front of an intact block.
    writeFile(path, original.substr(1));
    EXPECT_EQ(failureOf(path), SignatureError::contentModified);
    writeFile(path, "x" + original);
    EXPECT_EQ(failureOf(path), SignatureError::contentModified);
}

TEST_F(SignatureVerification, RefusesABlockMovedToAnotherFile)
{
    const auto path = signedFile("peer", identity(testPki().team));
    const std::string block = readFile(path).substr(program().size());
    std::string other = program();
    other[10] = 'Z';
    writeFile(path, other + block);
    EXPECT_EQ(failureOf(path), SignatureError::contentModified);
}

TEST_F(SignatureVerification, RefusesDamagedOrMisplacedTrailers)
{
    const auto path = signedFile("peer", identity(testPki().team));
    const std::string original = readFile(path);
    const std::size_t cmsLengthEnd = original.size() - kSignatureMagic.size();

    writeFile(path, original.substr(0, original.size() - 1));
    EXPECT_EQ(failureOf(path), SignatureError::notSigned);
    writeFile(path, original + "\n");
    EXPECT_EQ(failureOf(path), SignatureError::notSigned);

    std::string longer = original;
    longer[cmsLengthEnd - 1] = static_cast<char>(longer[cmsLengthEnd - 1] + 1);
    writeFile(path, longer);
    EXPECT_EQ(failureOf(path), SignatureError::malformedSignature);

    std::string outside = original;
    outside[cmsLengthEnd - 5] = '\x01'; // adds 2^32 to the length
    writeFile(path, outside);
    EXPECT_EQ(failureOf(path), SignatureError::malformedTrailer);

    std::string version = original;
    version[cmsLengthEnd - kSignatureTrailerBytes + 3] = '\x02';
    writeFile(path, version);
    EXPECT_EQ(failureOf(path), SignatureError::malformedTrailer);

    // The whole block without the content in front of it.
    writeFile(path, original.substr(program().size()));
    EXPECT_EQ(failureOf(path), SignatureError::contentModified);
}

TEST_F(SignatureVerification, RefusesUnsignedFilesAndOtherThings)
{
    writeFile(directory_ / "plain", program());
    EXPECT_EQ(failureOf(directory_ / "plain"), SignatureError::notSigned);
    writeFile(directory_ / "empty", "");
    EXPECT_EQ(failureOf(directory_ / "empty"), SignatureError::notSigned);
    const UniqueFd directoryFd(open(directory_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(SignatureVerifier(testPki().anchorPem()).verify(directoryFd.get()).error(), SignatureError::unreadable);
    EXPECT_EQ(SignatureVerifier(testPki().anchorPem()).verify(-1).error(), SignatureError::unreadable);
}

TEST_F(SignatureVerification, WithoutAnchorsRefusesEverything)
{
    const auto path = signedFile("peer", identity(testPki().team));
    for (const std::string& anchors :
        {std::string(), std::string("not a certificate"), testPki().anchorPem().substr(0, 200),
            testPki().anchorPem() + "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"}) {
        EXPECT_FALSE(SignatureVerifier(anchors).hasAnchors());
        EXPECT_EQ(failureOf(path, anchors), SignatureError::noAnchors);
    }
}

TEST_F(SignatureVerification, ReadsTheOpenedFileNotThePath)
{
    const auto path = signedFile("peer", identity(testPki().team));
    const UniqueFd fd = openFile(path);
    writeFile(directory_ / "replacement", program());
    std::filesystem::rename(directory_ / "replacement", path);
    EXPECT_TRUE(SignatureVerifier(testPki().anchorPem()).verify(fd.get()));
    EXPECT_EQ(failureOf(path), SignatureError::notSigned);
}

TEST_F(SignatureVerification, TeamNeedsExactlyOneOrganisationalUnit)
{
    const auto& pki = testPki();
    testing::CertificateOptions options;
    options.organizationalUnits = {testing::kTeam, "Other"};
    const auto twoUnits = testing::issue(options, &pki.anchor);
    const auto result = verifyFile(signedFile("two", identity(twoUnits)), pki.anchorPem());
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->leafOrganizationalUnit);
}

// Builds a signature block by hand, for shapes that signFile never makes.
std::string handMadeBlock(const std::string& directory, const std::vector<const testing::TestCertificate*>& signers,
    const EVP_MD* digest, unsigned int extraFlags = 0)
{
    BioPointer content = memoryReader(directory);
    const unsigned int flags = CMS_BINARY | CMS_NOSMIMECAP | extraFlags;
    CmsPointer cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL));
    for (const auto* signer : signers) {
        EXPECT_NE(CMS_add1_signer(cms.get(), signer->certificate.get(), signer->key.get(), digest, flags), nullptr);
    }
    EXPECT_EQ(CMS_final(cms.get(), content.get(), nullptr, flags), 1);
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.get(), &der);
    EXPECT_GT(length, 0);
    std::string block(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return block + encodeSignatureTail(block.size());
}

std::string directoryFor(const std::string& content)
{
    CodeDirectory directory {std::string(kIdentifier), {}, content.size()};
    unsigned int length = 0;
    EVP_Digest(content.data(), content.size(), directory.digest.data(), &length, EVP_sha256(), nullptr);
    return encodeCodeDirectory(directory);
}

TEST_F(SignatureVerification, RequiresExactlyOneSignerWithAStrongDigest)
{
    const auto& pki = testPki();
    const std::string content = program();
    const auto path = directory_ / "peer";

    writeFile(path, content + handMadeBlock(directoryFor(content), {&pki.team}, EVP_sha256()));
    EXPECT_TRUE(verifyFile(path, pki.anchorPem())); // the hand-made form itself is sound

    writeFile(path, content + handMadeBlock(directoryFor(content), {&pki.team, &pki.otherTeam}, EVP_sha256()));
    EXPECT_EQ(failureOf(path), SignatureError::malformedSignature);

    writeFile(path, content + handMadeBlock(directoryFor(content), {&pki.team}, EVP_sha1()));
    EXPECT_EQ(failureOf(path), SignatureError::unsupportedAlgorithm);

    writeFile(path, content + handMadeBlock(directoryFor(content), {&pki.team}, EVP_sha256(), CMS_DETACHED));
    EXPECT_EQ(failureOf(path), SignatureError::malformedSignature);

    writeFile(path, content + handMadeBlock("not a directory\n", {&pki.team}, EVP_sha256()));
    EXPECT_EQ(failureOf(path), SignatureError::malformedCodeDirectory);
}

TEST_F(SignatureVerification, RefusesASignatureFromAnotherKey)
{
    const auto& pki = testPki();
    const std::string content = program();
    std::string block = handMadeBlock(directoryFor(content), {&pki.team}, EVP_sha256());
    // The signature value closes the DER: change one of its last bytes.
    block[block.size() - kSignatureTailBytes - 3] =
        static_cast<char>(block[block.size() - kSignatureTailBytes - 3] ^ 1);
    writeFile(directory_ / "peer", content + block);
    EXPECT_EQ(failureOf(directory_ / "peer"), SignatureError::badSignature);
}

TEST_F(SignatureVerification, DescribesWithoutTrusting)
{
    const auto path = signedFile("peer", identity(testPki().teamUnderOtherAnchor));
    const UniqueFd fd = openFile(path);
    const auto description = describeSignature(fd.get());
    ASSERT_TRUE(description);
    ASSERT_TRUE(description->directory);
    EXPECT_EQ(description->directory->identifier, kIdentifier);
    EXPECT_EQ(description->leafOrganizationalUnit, testing::kTeam);
    EXPECT_TRUE(description->digestMatches);
    ASSERT_EQ(description->certificateSubjects.size(), 1U);
    EXPECT_EQ(description->layout.contentBytes, program().size());
}

} // namespace
} // namespace quorvantile::codesign
