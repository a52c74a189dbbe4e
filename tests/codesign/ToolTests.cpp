#include "TestPaths.h"
#include "TestSupport.h"

#include "codesign/SignatureFormat.h"
#include "codesign/VendorAnchors.h"
#include "codesign/Verifier.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace quorvantile::codesign {
namespace {

using namespace testing;
using Arguments = std::vector<std::string>;

constexpr const char* kParent = "com.zembo.quorvantile";
constexpr const char* kParentRequirement =
    R"(anchor apple generic and certificate leaf[subject.OU] = "7Q4KX2M8PZ" and identifier "com.zembo.quorvantile")";

using ToolRun = std::tuple<int, std::string, std::string>; // status, standard output, standard error

ToolRun run(Arguments arguments)
{
    arguments.insert(arguments.begin(), quorvantile::testing::binary("quorvantile-codesign"));
    quorvantile::testing::ChildProcess tool(arguments, {.errorsToPipe = true});
    tool.closeInput();
    std::string out = tool.readRest(10.0), err = tool.readErrors(10.0);
    return {tool.waitForExit(10.0).value_or(-1), out, err};
}

TEST(CodesignTool, SignsInPlaceVerifiesDisplaysAndExplainsEachFailureOnOneLine)
{
    const TemporaryDirectory directory;
    const auto path = [&](const std::string& name) { return (directory / name).string(); };
    const std::string program = path("program"), content(100000, 'p');
    const auto& pki = testPki();
    writeFile(path("anchor.pem"), pki.anchorPem());
    writeFile(path("intermediate.pem"), pem(pki.intermediate.certificate.get()));
    for (const auto& [name, identity] : {std::pair {"team", &pki.team}, std::pair {"deep", &pki.teamUnderIntermediate},
             std::pair {"server", &pki.teamWithoutCodeSigning}}) {
        writeFile(path(std::string(name) + ".pem"), pem(identity->certificate.get()));
        writeFile(path(std::string(name) + ".key"), pem(identity->key.get()));
    }
    writeFile(program, content);
    const auto sign = [&](const std::string& identifier = kParent, const std::string& name = "team",
                          const std::string& key = "") -> Arguments {
        return {"sign", "--identifier", identifier, "--certificate", path(name + ".pem"), "--key",
            path((key.empty() ? name : key) + ".key"), program};
    };
    const auto verify = [&](const std::string& requirement = kParentRequirement) -> Arguments {
        return {"verify", "--anchors", path("anchor.pem"), "--requirement", requirement, program};
    };
    std::filesystem::permissions(program, std::filesystem::perms(0751));
    const std::string sensors = "com.zembo.quorvantile.sensors";
    Arguments withChain = sign(kParent, "deep");
    withChain.insert(withChain.end() - 1, {"--chain", path("intermediate.pem")});
    const struct {
        Arguments arguments;
        int status;
        std::string_view text; // on standard output after success, on standard error otherwise
    } steps[] = {
        {verify(), 1, "not signed"},
        {sign(kParent, "server"), 1, "code signing"},
        {sign(kParent, "team", "deep"), 1, ""},
        {sign("two words"), 1, ""},
        {{"sign", "--identifier", "a", program}, 2, "required"},
        {{"verify", "--anchor", path("anchor.pem"), program}, 2, "unknown option"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"--version"}, 0, "quorvantile-codesign " QUORVANTILE_VERSION "\n"},
        {sign(), 0, ""},
        {verify(), 0, "requirement satisfied"},
        {{"display", program}, 0, "Identifier:    com.zembo.quorvantile\nTeam:          7Q4KX2M8PZ\n"},
        {{"display", program}, 0, "Hash matches:  yes\n"},
        {sign(sensors), 0, ""},
        {verify(), 1, "does not satisfy"},
        {verify("identifier \"" + sensors + "\""), 0, "requirement satisfied"},
        {sign(kParent, "deep"), 0, ""},
        {verify(), 1, "chain"},
        {withChain, 0, ""},
        {verify("anchor apple generic or identifier \"x\""), 2, "requirement"},
        {verify(), 0, "requirement satisfied"},
    };
    for (const auto& step : steps) {
        const auto [status, out, err] = run(step.arguments);
        const std::string& said = step.status == 0 ? out : err;
        EXPECT_EQ(status, step.status) << step.arguments[0] << ": " << err;
        EXPECT_NE(said.find(step.text), std::string::npos) << said;
        if (step.status != 0) {
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        }
    }
    EXPECT_EQ(std::get<0>(run({})), 2);
    // Four signings later the file keeps its mode, its content and one block, with nothing left beside it.
    EXPECT_EQ(std::filesystem::status(program).permissions(), std::filesystem::perms(0751));
    const std::string bytes = readFile(program);
    EXPECT_EQ(bytes.substr(0, content.size()), content);
    EXPECT_EQ(bytes.find(kSignatureMagic), bytes.size() - kSignatureMagic.size());
    const auto layout = parseSignatureTail(bytes.substr(bytes.size() - kSignatureTailBytes), bytes.size());
    EXPECT_EQ(layout ? layout->contentBytes : 0, content.size());
    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".program.signing-"), std::string::npos);
    }
    // A damaged block is neither signed over nor replaced.
    const std::string damaged = content + encodeSignatureTail(content.size() * 2);
    writeFile(program, damaged);
    const auto [status, out, err] = run(sign());
    EXPECT_EQ(status, 1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(readFile(program), damaged);
}

// The build signs the companion and embeds the development anchor unless a packager chose another;
// parents signed with the development identity are the integration tests' own clients.
TEST(BuiltPrograms, TheCompanionIsSignedByTheDevelopmentTeam)
{
    if (std::string_view(QUORVANTILE_VENDOR_ANCHORS) != QUORVANTILE_DEVELOPMENT_ANCHOR) {
        GTEST_SKIP() << "this build trusts other vendor anchors than its development identity";
    }
    const UniqueFd companion(
        open((quorvantile::testing::binDirectory() + "/quorvantile-sensors").c_str(), O_RDONLY | O_CLOEXEC));
    const auto verified = SignatureVerifier(vendorAnchorsPem()).verify(companion.get());
    ASSERT_TRUE(verified) << describe(verified.error());
    EXPECT_EQ(verified->directory.identifier, "com.zembo.quorvantile.sensors");
    EXPECT_EQ(verified->leafOrganizationalUnit, "7Q4KX2M8PZ");
}

} // namespace
} // namespace quorvantile::codesign
