#include "TestSupport.h"

#include "codesign/Verifier.h"

#include <gtest/gtest.h>

#include <random>

// Hostile input: the readers must answer (mostly "no") on any bytes, and never accept a changed file.
namespace quorvantile::codesign {
namespace {

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
