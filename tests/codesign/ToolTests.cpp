#include "RunningPeer.h"
#include "TestFiles.h"
#include "TestIdentities.h"

#include "codesign/SignatureFormat.h"
#include "codesign/VendorAnchors.h"
#include "codesign/Verifier.h"
#include "companion/SensorTransport.h"

#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

extern char** environ;

namespace quorvantile::codesign {
namespace {

using testing::identity;
using testing::pem;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::testPki;
using testing::writeFile;

constexpr const char* kTool = QUORVANTILE_BIN_DIR "/quorvantile-codesign";
constexpr const char* kTestPeer = QUORVANTILE_BIN_DIR "/quorvantile-codesign-test-peer";
constexpr const char* kParentRequirement =
    R"(anchor apple generic and certificate leaf[subject.OU] = "7Q4KX2M8PZ" and identifier "com.zembo.quorvantile")";

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class CodesignTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto& pki = testPki();
        writeFile(directory_ / "anchor.pem", pki.anchorPem());
        writeFile(directory_ / "team.pem", pem(pki.team.certificate.get()));
        writeFile(directory_ / "team.key", pem(pki.team.key.get()));
        writeFile(directory_ / "deep.pem", pem(pki.teamUnderIntermediate.certificate.get()));
        writeFile(directory_ / "deep.key", pem(pki.teamUnderIntermediate.key.get()));
        writeFile(directory_ / "intermediate.pem", pem(pki.intermediate.certificate.get()));
        writeFile(directory_ / "server.pem", pem(pki.teamWithoutCodeSigning.certificate.get()));
        writeFile(directory_ / "server.key", pem(pki.teamWithoutCodeSigning.key.get()));
        writeFile(program(), content_);
    }

    ToolRun run(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), kTool);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const std::string out = (directory_ / "stdout").string();
        const std::string err = (directory_ / "stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        ToolRun result;
        if (posix_spawn(&pid, kTool, &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        result.out = readFile(out);
        result.err = readFile(err);
        return result;
    }

    ToolRun sign(const std::string& identifier = "com.zembo.quorvantile", const std::string& name = "team")
    {
        return run({"sign", "--identifier", identifier, "--certificate", path(name + ".pem"), "--key",
            path(name + ".key"), program()});
    }

    ToolRun verify(std::optional<std::string> requirement = std::nullopt)
    {
        std::vector<std::string> arguments {"verify", "--anchors", path("anchor.pem")};
        if (requirement) {
            arguments.insert(arguments.end(), {"--requirement", *requirement});
        }
        arguments.push_back(program());
        return run(arguments);
    }

    std::string path(const std::string& name) const { return (directory_ / name).string(); }
    std::string program() const { return path("program"); }

    static bool oneLine(const std::string& text)
    {
        return !text.empty() && std::count(text.begin(), text.end(), '\n') == 1;
    }

    TemporaryDirectory directory_;
    std::string content_ = std::string(100000, 'p');
};

TEST_F(CodesignTool, SignsVerifiesAndDisplays)
{
    std::filesystem::permissions(program(), std::filesystem::perms(0751));
    const auto signedRun = sign();
    ASSERT_EQ(signedRun.status, 0) << signedRun.err;
    EXPECT_EQ(std::filesystem::status(program()).permissions(), std::filesystem::perms(0751));
    EXPECT_EQ(readFile(program()).substr(0, content_.size()), content_);

    const auto verified = verify(kParentRequirement);
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_NE(verified.out.find("com.zembo.quorvantile"), std::string::npos);

    const auto displayed = run({"display", program()});
    EXPECT_EQ(displayed.status, 0);
    EXPECT_NE(displayed.out.find("Identifier:    com.zembo.quorvantile\n"), std::string::npos) << displayed.out;
    EXPECT_NE(displayed.out.find("Team:          7Q4KX2M8PZ\n"), std::string::npos);
    EXPECT_NE(displayed.out.find("Hash matches:  yes\n"), std::string::npos);
    EXPECT_NE(displayed.out.find("CN = Team"), std::string::npos);
    // No temporary file is left beside the program.
    EXPECT_FALSE(std::filesystem::exists(path(".program.signing-XXXXXX")));
    for (const auto& entry : std::filesystem::directory_iterator(directory_.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".program.signing-"), std::string::npos);
    }
}

TEST_F(CodesignTool, ReSigningReplacesTheBlock)
{
    ASSERT_EQ(sign().status, 0);
    ASSERT_EQ(sign("com.zembo.quorvantile.sensors").status, 0);
    const std::string bytes = readFile(program());
    const auto layout = parseSignatureTail(bytes.substr(bytes.size() - kSignatureTailBytes), bytes.size());
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->contentBytes, content_.size());
    EXPECT_EQ(bytes.find(kSignatureMagic), bytes.size() - kSignatureMagic.size());
    EXPECT_EQ(verify(kParentRequirement).status, 1);
    EXPECT_EQ(verify(R"(identifier "com.zembo.quorvantile.sensors")").status, 0);
}

TEST_F(CodesignTool, CarriesIntermediateCertificates)
{
    auto run1 = run({"sign", "--identifier", "com.zembo.quorvantile", "--certificate", path("deep.pem"), "--key",
        path("deep.key"), program()});
    ASSERT_EQ(run1.status, 0) << run1.err;
    EXPECT_EQ(verify().status, 1);
    auto run2 = run({"sign", "--identifier", "com.zembo.quorvantile", "--certificate", path("deep.pem"), "--key",
        path("deep.key"), "--chain", path("intermediate.pem"), program()});
    ASSERT_EQ(run2.status, 0) << run2.err;
    EXPECT_EQ(verify(kParentRequirement).status, 0);
}

TEST_F(CodesignTool, ExplainsEachFailureOnOneLine)
{
    auto unsigned_ = verify();
    EXPECT_EQ(unsigned_.status, 1);
    EXPECT_TRUE(oneLine(unsigned_.err));
    EXPECT_NE(unsigned_.err.find("not signed"), std::string::npos) << unsigned_.err;

    auto server = sign("com.zembo.quorvantile", "server");
    EXPECT_EQ(server.status, 1);
    EXPECT_TRUE(oneLine(server.err));
    EXPECT_NE(server.err.find("code signing"), std::string::npos) << server.err;

    auto wrongKey =
        run({"sign", "--identifier", "a", "--certificate", path("team.pem"), "--key", path("deep.key"), program()});
    EXPECT_EQ(wrongKey.status, 1);
    EXPECT_TRUE(oneLine(wrongKey.err)) << wrongKey.err;

    auto badIdentifier = sign("two words");
    EXPECT_EQ(badIdentifier.status, 1);
    EXPECT_TRUE(oneLine(badIdentifier.err)) << badIdentifier.err;

    auto missing = run({"sign", "--identifier", "a", program()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(oneLine(missing.err));

    auto unknown = run({"verify", "--anchor", path("anchor.pem"), program()});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(oneLine(unknown.err));

    ASSERT_EQ(sign().status, 0);
    auto badRequirement = verify("anchor apple generic or identifier \"x\"");
    EXPECT_EQ(badRequirement.status, 2);
    EXPECT_TRUE(oneLine(badRequirement.err));

    auto unsatisfied = verify(R"(identifier "com.zembo.other")");
    EXPECT_EQ(unsatisfied.status, 1);
    EXPECT_TRUE(oneLine(unsatisfied.err));

    EXPECT_EQ(run({"frobnicate"}).status, 2);
    EXPECT_EQ(run({}).status, 2);
}

TEST_F(CodesignTool, RefusesToSignOverADamagedBlock)
{
    std::string damaged = content_ + encodeSignatureTail(content_.size() * 2);
    writeFile(program(), damaged);
    const auto result = sign();
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(oneLine(result.err));
    EXPECT_EQ(readFile(program()), damaged);
}

TEST_F(CodesignTool, EveryCommandHasHelp)
{
    for (const char* command : {"sign", "verify", "display"}) {
        const auto help = run({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind("usage: quorvantile-codesign ", 0), 0U) << command;
    }
    EXPECT_EQ(run({"--help"}).status, 0);
}

// The build signs the companion and embeds the development anchor unless a packager chose another.
class BuiltPrograms : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!QUORVANTILE_DEVELOPMENT_ANCHORS_EMBEDDED) {
            GTEST_SKIP() << "this build trusts other vendor anchors than its development identity";
        }
    }
};

TEST_F(BuiltPrograms, TheCompanionIsSignedByTheDevelopmentTeam)
{
    const UniqueFd fd = testing::openFile(QUORVANTILE_BIN_DIR "/quorvantile-sensors");
    ASSERT_TRUE(fd);
    const auto verified = SignatureVerifier(vendorAnchorsPem()).verify(fd.get());
    ASSERT_TRUE(verified) << describe(verified.error());
    EXPECT_EQ(verified->directory.identifier, "com.zembo.quorvantile.sensors");
    EXPECT_EQ(verified->leafOrganizationalUnit, "7Q4KX2M8PZ");
}

TEST_F(BuiltPrograms, TheServerTrustsAParentSignedByTheDevelopmentTeam)
{
    TemporaryDirectory directory;
    const auto program = directory / "parent";
    std::filesystem::copy_file(kTestPeer, program);
    {
        const testing::RunningPeer unsignedPeer(program, directory.path());
        ASSERT_TRUE(unsignedPeer.connected());
        EXPECT_FALSE(SensorTransport::trustedPeer(unsignedPeer.connection(), SensorTransport::kParentIdentifier));
    }

    const std::string signProgram = std::string(kTool) + " sign --identifier com.zembo.quorvantile --certificate " +
        QUORVANTILE_DEVELOPMENT_CERTIFICATE + " --key " + QUORVANTILE_DEVELOPMENT_KEY + " " + program.string();
    ASSERT_EQ(std::system(signProgram.c_str()), 0);
    const testing::RunningPeer signedPeer(program, directory.path());
    ASSERT_TRUE(signedPeer.connected());
    EXPECT_TRUE(SensorTransport::trustedPeer(signedPeer.connection(), SensorTransport::kParentIdentifier));
    EXPECT_FALSE(SensorTransport::trustedPeer(signedPeer.connection(), SensorTransport::kCompanionIdentifier));
}

} // namespace
} // namespace quorvantile::codesign
