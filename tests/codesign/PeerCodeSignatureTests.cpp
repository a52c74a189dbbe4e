#include "RunningPeer.h"
#include "TestFiles.h"
#include "TestIdentities.h"

#include "codesign/Signer.h"
#include "companion/SensorTransport.h"
#include "companion/linux/LinuxPeerCodeSignature.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace quorvantile {
namespace {

namespace transport = SensorTransport;
using codesign::SigningIdentity;
using codesign::testing::identity;
using codesign::testing::RunningPeer;
using codesign::testing::TemporaryDirectory;
using codesign::testing::testPki;

constexpr const char* kTestPeer = QUORVANTILE_BIN_DIR "/quorvantile-codesign-test-peer";
constexpr uid_t kUnprivilegedUser = 65534;

LinuxPeerCodeSignatureOptions pidPath()
{
    LinuxPeerCodeSignatureOptions options;
    options.pidfdSource = PeerPidfdSource::processIdentifier;
    return options;
}

// Remembers even a file signed a moment ago.
LinuxPeerCodeSignatureOptions eagerCache()
{
    LinuxPeerCodeSignatureOptions options;
    options.cacheUnsettledNanoseconds = 0;
    return options;
}

class PeerCodeSignatureLinux : public ::testing::Test {
protected:
    // A copy of the test peer, signed as `identifier` by `signer` (unsigned without one).
    std::filesystem::path peer(
        const SigningIdentity* signer, std::string_view identifier = transport::kParentIdentifier)
    {
        const auto path = directory_ / ("peer-" + std::to_string(++copies_));
        std::filesystem::copy_file(kTestPeer, path);
        std::filesystem::permissions(path, std::filesystem::perms(0755));
        if (signer != nullptr) {
            const auto signedLayout = codesign::signFile(path, identifier, *signer);
            EXPECT_TRUE(signedLayout) << (signedLayout ? "" : signedLayout.error().message);
        }
        return path;
    }

    // Whether a peer running `program` is trusted as the parent application.
    bool trusted(const std::filesystem::path& program, LinuxPeerCodeSignatureOptions options = {})
    {
        LinuxPeerCodeSignature signature(testPki().anchorPem(), std::move(options));
        const RunningPeer running(program, directory_.path());
        EXPECT_TRUE(running.connected());
        return transport::trustedPeer(running.connection(), transport::kParentIdentifier, signature);
    }

    TemporaryDirectory directory_;
    int copies_ = 0;
};

TEST_F(PeerCodeSignatureLinux, TrustsACorrectlySignedPeerOfTheSameUser)
{
    const auto team = identity(testPki().team);
    EXPECT_TRUE(trusted(peer(&team)));
    EXPECT_TRUE(trusted(peer(&team), pidPath()));
}

TEST_F(PeerCodeSignatureLinux, TrustsTheCompanionOnlyUnderItsOwnIdentifier)
{
    const auto team = identity(testPki().team);
    LinuxPeerCodeSignature signature(testPki().anchorPem());
    const RunningPeer running(peer(&team, transport::kCompanionIdentifier), directory_.path());
    ASSERT_TRUE(running.connected());
    EXPECT_TRUE(transport::trustedPeer(running.connection(), transport::kCompanionIdentifier, signature));
    EXPECT_FALSE(transport::trustedPeer(running.connection(), transport::kParentIdentifier, signature));
}

TEST_F(PeerCodeSignatureLinux, RefusesPeersWhoseSignatureDoesNotSatisfyTheRequirement)
{
    const auto& pki = testPki();
    EXPECT_FALSE(trusted(peer(nullptr))) << "unsigned";
    const auto otherTeam = identity(pki.otherTeam);
    EXPECT_FALSE(trusted(peer(&otherTeam))) << "another team";
    const auto team = identity(pki.team);
    EXPECT_FALSE(trusted(peer(&team, "com.zembo.quorvantile.other"))) << "another identifier";
    const auto otherAnchor = identity(pki.teamUnderOtherAnchor);
    EXPECT_FALSE(trusted(peer(&otherAnchor))) << "another anchor";
    const auto serverCertificate = identity(pki.teamWithoutCodeSigning);
    EXPECT_FALSE(trusted(peer(&serverCertificate))) << "no code-signing usage";
    const auto expired = identity(pki.expiredTeam);
    EXPECT_FALSE(trusted(peer(&expired))) << "expired";
    EXPECT_FALSE(trusted(peer(nullptr), pidPath())) << "unsigned, pid path";
}

TEST_F(PeerCodeSignatureLinux, RefusesAPeerWhoseRunningExecutableWasModified)
{
    const auto team = identity(testPki().team);
    const auto program = peer(&team);
    std::string bytes = codesign::testing::readFile(program);
    bytes[bytes.size() / 3] = static_cast<char>(bytes[bytes.size() / 3] ^ 0x20);
    codesign::testing::writeFile(program, bytes);
    EXPECT_FALSE(trusted(program));
}

TEST_F(PeerCodeSignatureLinux, RefusesACorrectlySignedPeerRunningAsAnotherUser)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "starting a peer as another user needs root";
    }
    const auto team = identity(testPki().team);
    const auto program = peer(&team);
    std::filesystem::permissions(directory_.path(), std::filesystem::perms(0755));
    LinuxPeerCodeSignature signature(testPki().anchorPem());
    const RunningPeer running(program, directory_.path(), kUnprivilegedUser);
    if (!running.connected()) {
        GTEST_SKIP() << "the peer could not run as uid " << kUnprivilegedUser << " here";
    }
    EXPECT_FALSE(transport::trustedPeer(running.connection(), transport::kParentIdentifier, signature));
    // The signature alone is fine: it is the user that is refused.
    EXPECT_TRUE(
        signature.peerSatisfies(running.connection(), transport::requirementText(transport::kParentIdentifier)));
}

TEST_F(PeerCodeSignatureLinux, AnUnlistedIdentifierIsRefusedBeforeTheSignatureIsConsulted)
{
    const auto team = identity(testPki().team);
    LinuxPeerCodeSignature signature(testPki().anchorPem(), eagerCache());
    const RunningPeer running(peer(&team, "com.zembo.quorvantile.other"), directory_.path());
    ASSERT_TRUE(running.connected());
    EXPECT_FALSE(transport::trustedPeer(running.connection(), "com.zembo.quorvantile.other", signature));
    EXPECT_FALSE(transport::trustedPeer(-1, "com.zembo.quorvantile.other", signature));
    EXPECT_EQ(signature.fullVerifications(), 0U);
    // The same peer asked about through the port directly does satisfy its own requirement.
    EXPECT_TRUE(
        signature.peerSatisfies(running.connection(), transport::requirementText("com.zembo.quorvantile.other")));
}

TEST_F(PeerCodeSignatureLinux, RefusesRequirementsItCannotParse)
{
    const auto team = identity(testPki().team);
    LinuxPeerCodeSignature signature(testPki().anchorPem());
    const RunningPeer running(peer(&team), directory_.path());
    ASSERT_TRUE(running.connected());
    EXPECT_TRUE(signature.peerSatisfies(running.connection(), "anchor apple generic"));
    EXPECT_FALSE(signature.peerSatisfies(running.connection(), "anchor apple generic or identifier \"x\""));
    EXPECT_FALSE(signature.peerSatisfies(running.connection(), ""));
}

TEST_F(PeerCodeSignatureLinux, RefusesAPeerThatHasGone)
{
    const auto team = identity(testPki().team);
    const auto program = peer(&team);
    for (const auto source : {PeerPidfdSource::socketOption, PeerPidfdSource::processIdentifier}) {
        for (const bool reap : {false, true}) {
            LinuxPeerCodeSignatureOptions options;
            options.pidfdSource = source;
            LinuxPeerCodeSignature signature(testPki().anchorPem(), options);
            RunningPeer running(program, directory_.path());
            ASSERT_TRUE(running.connected());
            running.kill(reap);
            EXPECT_FALSE(transport::trustedPeer(running.connection(), transport::kParentIdentifier, signature))
                << "reaped: " << reap;
        }
    }
}

TEST_F(PeerCodeSignatureLinux, RemembersAnUnchangedExecutableAndVerifiesAChangedOneAgain)
{
    const auto team = identity(testPki().team);
    const auto program = peer(&team);
    LinuxPeerCodeSignature signature(testPki().anchorPem(), eagerCache());
    const auto connect = [&] {
        const RunningPeer running(program, directory_.path());
        return running.connected() &&
            transport::trustedPeer(running.connection(), transport::kParentIdentifier, signature);
    };
    EXPECT_TRUE(connect());
    EXPECT_TRUE(connect());
    EXPECT_EQ(signature.fullVerifications(), 1U);
    // A metadata change gives the file a new change time: it is verified again.
    std::filesystem::permissions(program, std::filesystem::perms(0750));
    EXPECT_TRUE(connect());
    EXPECT_EQ(signature.fullVerifications(), 2U);
}

TEST_F(PeerCodeSignatureLinux, DoesNotRememberAnExecutableChangedJustNow)
{
    const auto team = identity(testPki().team);
    const auto program = peer(&team);
    LinuxPeerCodeSignature signature(testPki().anchorPem());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const RunningPeer running(program, directory_.path());
        ASSERT_TRUE(running.connected());
        EXPECT_TRUE(transport::trustedPeer(running.connection(), transport::kParentIdentifier, signature));
    }
    EXPECT_EQ(signature.fullVerifications(), 2U);
}

TEST(PeerProcessStat, ReadsTheStartTimeAfterTheCommandName)
{
    const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 987654321 20 21\n";
    EXPECT_EQ(parseProcessStartTime("42 (sh)" + tail), 987654321U);
    EXPECT_EQ(parseProcessStartTime("42 (a) b (c) d)" + tail), 987654321U);
    EXPECT_EQ(parseProcessStartTime("42 ( )" + tail), 987654321U);
    EXPECT_FALSE(parseProcessStartTime("42 sh" + tail));
    EXPECT_FALSE(parseProcessStartTime("42 (sh) S 1 2 3"));
    EXPECT_FALSE(parseProcessStartTime("42 (sh)  S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 9 20"));
    EXPECT_FALSE(parseProcessStartTime("42 (sh) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 -9 20"));
    EXPECT_FALSE(parseProcessStartTime("42 (sh) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 99999999999999999999"));
    EXPECT_FALSE(parseProcessStartTime(""));
    EXPECT_FALSE(parseProcessStartTime(")("));
}

} // namespace
} // namespace quorvantile
