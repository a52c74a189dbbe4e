#include "TestSupport.h"

#include "codesign/CodeDirectory.h"
#include "codesign/VerificationCache.h"
#include "codesign/Verifier.h"
#include "companion/linux/VerifierModule.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <random>
#include <tuple>

namespace quorvantile::codesign {
namespace {

using namespace testing;

constexpr std::size_t kProgramBytes = 40000;

std::string program(std::size_t bytes = kProgramBytes) { return std::string(bytes, 'p'); }

std::string programDirectory(std::size_t bytes = kProgramBytes)
{
    CodeDirectory directory {"com.zembo.quorvantile", {}, bytes};
    EVP_Digest(program(bytes).data(), bytes, directory.digest.data(), nullptr, EVP_sha256(), nullptr);
    return encodeCodeDirectory(directory);
}

std::string signedProgram(const SigningIdentity& signer, std::size_t bytes = kProgramBytes)
{
    const auto block = signatureBlock(programDirectory(bytes), signer);
    EXPECT_TRUE(block);
    return program(bytes) + block.value();
}

// The program with a block made by hand, for shapes that signing never makes.
std::string handSigned(const std::vector<const SigningIdentity*>& signers, const EVP_MD* digest,
    unsigned int extraFlags = 0, const std::string& directory = programDirectory())
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
    std::string block(reinterpret_cast<char*>(der), static_cast<std::size_t>(std::max(length, 0)));
    OPENSSL_free(der);
    return program() + block + encodeSignatureTail(block.size());
}

UniqueFd memoryFile(const std::string& bytes)
{
    UniqueFd file(memfd_create("signed", MFD_CLOEXEC));
    EXPECT_EQ(write(file.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return file;
}

Checked<VerifiedSignature, SignatureError> verifyBytes(const std::string& bytes, const std::string& anchors)
{
    return SignatureVerifier(anchors).verify(memoryFile(bytes).get());
}

TEST(SignatureVerification, AcceptsOnlyIntactFilesSignedForCodeUnderTheAnchorsAndReportsWhatWasSigned)
{
    using enum SignatureError;
    const auto& pki = testPki();
    const std::string team = signedProgram(pki.team);
    const auto magic = -std::ssize(kSignatureMagic);
    const auto trailer = static_cast<std::ptrdiff_t>(kSignatureTrailerBytes);
    const auto last = static_cast<std::ptrdiff_t>(kProgramBytes) - 1;
    const struct {
        const char* what;
        std::string bytes;
        std::optional<SignatureError> refusal;
        std::optional<std::string> anchors = std::nullopt;
    } cases[] = {
        {"signed by the team", team, std::nullopt},
        {"an intermediate carried in the signature", signedProgram(pki.teamCarryingIntermediate), std::nullopt},
        {"a missing intermediate", signedProgram(pki.teamUnderIntermediate), untrustedChain},
        {"a chain to another anchor", signedProgram(pki.teamUnderOtherAnchor), untrustedChain},
        {"another anchor, configured", signedProgram(pki.teamUnderOtherAnchor), std::nullopt,
            pki.anchorPem() + pem(pki.otherAnchor.certificate.get())},
        {"an intermediate as anchor", signedProgram(pki.teamUnderIntermediate), untrustedChain,
            pem(pki.intermediate.certificate.get())},
        {"the signer as anchor", team, untrustedChain, pem(pki.team.certificate.get())},
        {"expired", signedProgram(pki.expiredTeam), untrustedChain},
        {"serverAuth usage only", signedProgram(pki.teamWithoutCodeSigning), notForCodeSigning},
        {"no extended usage", signedProgram(pki.teamWithoutUsage), notForCodeSigning},
        {"key usage without digitalSignature", signedProgram(pki.teamWithoutDigitalSignature), notForCodeSigning},
        {"first byte changed", bumped(team, 0), contentModified},
        {"last signed byte changed", bumped(team, last), contentModified},
        {"the block alone", team.substr(kProgramBytes), contentModified},
        {"truncated", team.substr(0, team.size() - 1), notSigned},
        {"a byte appended", team + "\n", notSigned},
        {"unsigned", program(), notSigned},
        {"empty", "", notSigned},
        {"CMS length one byte longer", bumped(team, magic - 1), malformedSignature},
        {"two signers", handSigned({&pki.team, &pki.otherTeam}, EVP_sha256()), malformedSignature},
        {"detached", handSigned({&pki.team}, EVP_sha256(), CMS_DETACHED), malformedSignature},
        {"SHA-1", handSigned({&pki.team}, EVP_sha1()), unsupportedAlgorithm},
        {"no code directory", handSigned({&pki.team}, EVP_sha256(), 0, "no\n"), malformedCodeDirectory},
        // The signature value closes the DER.
        {"signature value changed", bumped(handSigned({&pki.team}, EVP_sha256()), magic - trailer - 3), badSignature},
        {"no anchors", team, noAnchors, ""},
        {"one damaged anchor", team, noAnchors,
            pki.anchorPem() + "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(refusalOf(verifyBytes(row.bytes, row.anchors.value_or(pki.anchorPem()))), row.refusal) << row.what;
    }
    const UniqueFd directory(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(refusalOf(SignatureVerifier(pki.anchorPem()).verify(directory.get())), unreadable);
    EXPECT_EQ(refusalOf(SignatureVerifier(pki.anchorPem()).verify(-1)), unreadable);
    // What was signed, by whom; the team is the one organisational unit, and with two there is none.
    for (const auto* signer : {&pki.team, &pki.teamWithTwoUnits}) {
        const auto result = verifyBytes(signedProgram(*signer), pki.anchorPem());
        ASSERT_TRUE(result) << describe(result.error());
        EXPECT_EQ(result->directory, parseCodeDirectory(programDirectory()));
        EXPECT_TRUE(result->anchoredAtVendor);
        ASSERT_EQ(result->chainSubjects.size(), 2U);
        EXPECT_NE(result->chainSubjects.back().find("CN = Test Anchor"), std::string::npos);
        EXPECT_GT(result->validUntilSeconds, std::time(nullptr));
        EXPECT_EQ(
            result->leafOrganizationalUnit, signer == &pki.team ? std::optional<std::string>(kTeam) : std::nullopt);
    }
}

// The server verifies through the module (loaded from beside this test's executable, as the
// server's is): every field of what was signed, and every refusal, comes across its C boundary as
// the verifier gave it.
TEST(SignatureVerification, TheModuleGivesExactlyWhatTheVerifierGives)
{
    using enum SignatureError;
    const auto& pki = testPki();
    const std::string team = signedProgram(pki.team);
    const struct {
        const char* what;
        std::string bytes;
        std::optional<SignatureError> refusal;
        std::string anchors;
    } cases[] = {
        {"signed by the team", team, std::nullopt, pki.anchorPem()},
        {"two organisational units, so no team", signedProgram(pki.teamWithTwoUnits), std::nullopt, pki.anchorPem()},
        {"three certificates in the chain", signedProgram(pki.teamCarryingIntermediate), std::nullopt, pki.anchorPem()},
        {"unsigned", program(), notSigned, pki.anchorPem()},
        {"modified", bumped(team, 0), contentModified, pki.anchorPem()},
        {"another anchor", signedProgram(pki.teamUnderOtherAnchor), untrustedChain, pki.anchorPem()},
        // The first and the last error by number.
        {"no anchors", team, noAnchors, ""},
    };
    for (const auto& row : cases) {
        const auto module = VerifierModule::load(verifierModulePath(), row.anchors);
        ASSERT_TRUE(module) << module.error();
        const UniqueFd fd = memoryFile(row.bytes);
        const auto direct = SignatureVerifier(row.anchors).verify(fd.get());
        const auto loaded = module->verify(fd.get());
        ASSERT_EQ(refusalOf(direct), row.refusal) << row.what;
        EXPECT_EQ(refusalOf(loaded), row.refusal) << row.what;
        if (direct && loaded) {
            EXPECT_EQ(*loaded, *direct) << row.what;
        }
    }
    const auto module = VerifierModule::load(verifierModulePath(), pki.anchorPem());
    ASSERT_TRUE(module);
    EXPECT_EQ(refusalOf(module->verify(-1)), unreadable);
}

TEST(HostileInput, NoCutOrChangedByteOfASignedFileIsAcceptedAsSomethingElse)
{
    const std::size_t contentBytes = 1000;
    const std::string signedBytes = signedProgram(testPki().team, contentBytes);
    const SignatureVerifier verifier(testPki().anchorPem());
    // Also runs the display reader over each.
    const auto verify = [&](const std::string& bytes) {
        const UniqueFd fd = memoryFile(bytes);
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
            EXPECT_GE(position, contentBytes);
            EXPECT_EQ(*result, *original) << "changed at " << position;
        }
    }
}

constexpr std::int64_t kNow = 1'800'000'000;
constexpr std::int64_t kNowNanoseconds = kNow * 1'000'000'000;
constexpr std::int64_t kValidSeconds = 86400;

FileIdentity settledFile(std::uint64_t inode)
{
    return FileIdentity {64769, inode, 5'000'000, kNow - 3600, 123, kNow - 3600, 456};
}

VerifiedSignature signature()
{
    return {{}, {}, {}, true, kNow + kValidSeconds}; // anchored at the vendor, valid for a day
}

TEST(VerificationCache, RemembersOnlySettledVerifiedVersionsWhileValidAndForgetsTheLeastRecentlyUsed)
{
    VerificationCache cache;
    cache.remember(settledFile(1), signature(), kNowNanoseconds);
    EXPECT_TRUE(cache.find(settledFile(1), kNow + kValidSeconds - 1));
    const std::function<void(FileIdentity&)> edits[] = {[](FileIdentity& f) { ++f.device; },
        [](FileIdentity& f) { ++f.inode; }, [](FileIdentity& f) { ++f.size; },
        [](FileIdentity& f) { ++f.modificationSeconds; }, [](FileIdentity& f) { ++f.modificationNanoseconds; },
        [](FileIdentity& f) { ++f.changeSeconds; }, [](FileIdentity& f) { ++f.changeNanoseconds; }};
    for (std::size_t index = 0; index < std::size(edits); ++index) {
        FileIdentity changed = settledFile(1);
        edits[index](changed);
        EXPECT_FALSE(cache.find(changed, kNow)) << "edit " << index;
    }
    EXPECT_FALSE(cache.find(settledFile(1), kNow + kValidSeconds));
    EXPECT_EQ(cache.size(), 0U);
    VerificationCache none(0);
    none.remember(settledFile(1), signature(), kNowNanoseconds);
    EXPECT_FALSE(none.find(settledFile(1), kNow));
    // Change time, its nanoseconds, modification time, the clock; whether the file is remembered.
    const std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, bool> cases[] = {
        {kNow - 2, 0, kNow - 3600, kNowNanoseconds, true}, // changed exactly a window ago
        {kNow - 1, 456, kNow - 3600, kNowNanoseconds, false}, {kNow - 3600, 456, kNow, kNowNanoseconds, false},
        {kNow + 3600, 456, kNow - 3600, kNowNanoseconds, false}, // changed in the future
        {INT64_MIN, 456, INT64_MAX, INT64_MIN, false}, {INT64_MIN, 456, INT64_MAX, INT64_MAX, false}};
    for (const auto& [changeSeconds, changeNanoseconds, modificationSeconds, now, remembered] : cases) {
        VerificationCache fresh;
        FileIdentity file = settledFile(1);
        std::tie(file.changeSeconds, file.changeNanoseconds, file.modificationSeconds) =
            std::tuple(changeSeconds, changeNanoseconds, modificationSeconds);
        fresh.remember(file, signature(), now);
        EXPECT_EQ(fresh.find(file, kNow).has_value(), remembered) << changeSeconds << " " << modificationSeconds;
    }
    VerificationCache small(3);
    for (const std::uint64_t inode : {1, 2, 3, 3}) { // 3 again: replaces
        small.remember(settledFile(inode), signature(), kNowNanoseconds);
    }
    EXPECT_TRUE(small.find(settledFile(1), kNow)); // 1 is now the most recently used
    small.remember(settledFile(4), signature(), kNowNanoseconds);
    EXPECT_EQ(small.size(), 3U);
    EXPECT_FALSE(small.find(settledFile(2), kNow));
    EXPECT_TRUE(
        small.find(settledFile(1), kNow) && small.find(settledFile(3), kNow) && small.find(settledFile(4), kNow));
}

} // namespace
} // namespace quorvantile::codesign
