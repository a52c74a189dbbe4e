#include "TestSupport.h"

#include "companion/SensorTransport.h"
#include "companion/linux/LinuxPeerCodeSignature.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace quorvantile {
namespace {

namespace transport = SensorTransport;
using codesign::testing::RunningPeer;
using codesign::testing::testPki;

constexpr std::string_view kOtherIdentifier = "com.zembo.quorvantile.other";

LinuxPeerCodeSignature peerSignature(PeerPidfdSource source = PeerPidfdSource::socketOption,
    std::int64_t unsettledNanoseconds = codesign::VerificationCache::kDefaultUnsettledNanoseconds)
{
    return LinuxPeerCodeSignature(
        testPki().anchorPem(), {.pidfdSource = source, .cacheUnsettledNanoseconds = unsettledNanoseconds});
}

class PeerCodeSignatureLinux : public ::testing::Test {
protected:
    // A copy of the test peer, signed as `identifier` by `signer` (unsigned without one).
    std::filesystem::path peer(
        const codesign::SigningIdentity* signer, std::string_view identifier = transport::kParentIdentifier)
    {
        auto path = directory_ / ("peer-" + std::to_string(++copies_));
        std::filesystem::copy_file(QUORVANTILE_BIN_DIR "/quorvantile-codesign-test-peer", path);
        if (signer != nullptr) {
            const auto signedLayout = codesign::signFile(path, identifier, *signer);
            EXPECT_TRUE(signedLayout) << (signedLayout ? "" : signedLayout.error().message);
        }
        return path;
    }

    codesign::testing::TemporaryDirectory directory_;
    int copies_ = 0;
};

// Failures of the signature itself are the verifier's tests; here they only have to reach the answer.
TEST_F(PeerCodeSignatureLinux, TrustsOnlyALiveCorrectlySignedPeerUnderTheIdentifierAskedFor)
{
    const auto& pki = testPki();
    const std::string_view parent = transport::kParentIdentifier;
    const std::string_view companion = transport::kCompanionIdentifier;
    const struct {
        const char* what;
        const codesign::SigningIdentity* signer;
        std::string_view signedAs, askedFor;
        bool trusted;
        bool changeSignedByte = false;
        std::optional<bool> goneReaped = std::nullopt; // the peer was killed, and perhaps reaped
    } cases[] = {
        {"signed by the team", &pki.team, parent, parent, true},
        {"the companion as itself", &pki.team, companion, companion, true},
        {"the companion as the parent", &pki.team, companion, parent, false},
        {"unsigned", nullptr, parent, parent, false},
        {"another team", &pki.otherTeam, parent, parent, false},
        {"another identifier", &pki.team, kOtherIdentifier, parent, false},
        {"a changed byte in the signed part", &pki.team, parent, parent, false, true},
        {"gone, not yet reaped", &pki.team, parent, parent, false, false, false},
        {"gone and reaped", &pki.team, parent, parent, false, false, true},
    };
    for (const auto source : {PeerPidfdSource::socketOption, PeerPidfdSource::processIdentifier}) {
        for (const auto& row : cases) {
            const auto program = peer(row.signer, row.signedAs);
            if (row.changeSignedByte) {
                std::string bytes = codesign::testing::readFile(program);
                bytes[bytes.size() / 3] = static_cast<char>(bytes[bytes.size() / 3] ^ 0x20);
                codesign::testing::writeFile(program, bytes);
            }
            auto signature = peerSignature(source);
            RunningPeer running(program, directory_.path());
            ASSERT_TRUE(running.connected()) << row.what;
            if (row.goneReaped) {
                running.kill(*row.goneReaped);
            }
            EXPECT_EQ(transport::trustedPeer(running.connection(), row.askedFor, signature), row.trusted) << row.what;
        }
    }
}

TEST_F(PeerCodeSignatureLinux, RefusesACorrectlySignedPeerRunningAsAnotherUser)
{
    constexpr uid_t kUnprivilegedUser = 65534;
    if (geteuid() != 0) {
        GTEST_SKIP() << "starting a peer as another user needs root";
    }
    const auto program = peer(&testPki().team);
    std::filesystem::permissions(directory_.path(), std::filesystem::perms(0755));
    auto signature = peerSignature();
    const RunningPeer running(program, directory_.path(), kUnprivilegedUser);
    if (!running.connected()) {
        GTEST_SKIP() << "the peer could not run as uid " << kUnprivilegedUser << " here";
    }
    EXPECT_FALSE(transport::trustedPeer(running.connection(), transport::kParentIdentifier, signature));
    // The signature alone is fine: it is the user that is refused.
    EXPECT_TRUE(
        signature.peerSatisfies(running.connection(), transport::requirementText(transport::kParentIdentifier)));
}

TEST_F(PeerCodeSignatureLinux, ChecksAnyRequirementItParsesAndRefusesOnesItCannot)
{
    const RunningPeer running(peer(&testPki().team, kOtherIdentifier), directory_.path());
    ASSERT_TRUE(running.connected());
    auto signature = peerSignature();
    EXPECT_TRUE(signature.peerSatisfies(running.connection(), transport::requirementText(kOtherIdentifier)));
    EXPECT_FALSE(signature.peerSatisfies(running.connection(), "anchor apple generic or identifier \"x\""));
    EXPECT_FALSE(signature.peerSatisfies(running.connection(), ""));
}

TEST_F(PeerCodeSignatureLinux, RemembersAnUnchangedSettledExecutableAndVerifiesAChangedOneAgain)
{
    const auto program = peer(&testPki().team);
    const auto connectTwice = [&](LinuxPeerCodeSignature& signature) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const RunningPeer running(program, directory_.path());
            EXPECT_TRUE(transport::trustedPeer(running.connection(), transport::kParentIdentifier, signature));
        }
        return signature.fullVerifications();
    };
    // By default a file changed a moment ago is not remembered: its times may not have moved yet.
    auto cautious = peerSignature();
    EXPECT_EQ(connectTwice(cautious), 2U);
    auto eager = peerSignature(PeerPidfdSource::socketOption, 0);
    EXPECT_EQ(connectTwice(eager), 1U);
    // A metadata change gives the file a new change time.
    std::filesystem::permissions(program, std::filesystem::perms(0750));
    EXPECT_EQ(connectTwice(eager), 2U);
}

} // namespace
} // namespace quorvantile
