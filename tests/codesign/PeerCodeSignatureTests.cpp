#include "FuseMount.h"
#include "TestPaths.h"
#include "TestSupport.h"

#include "codesign/VerifierModuleInterface.h"
#include "companion/SensorTransport.h"
#include "companion/linux/LinuxPeerCodeSignature.h"
#include "companion/linux/PeerIntegrity.h"

#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <tuple>

namespace quorvantile {
namespace {

namespace transport = SensorTransport;
using codesign::testing::testPki;
using quorvantile::testing::ChildProcess;
using quorvantile::testing::FuseMount;
using quorvantile::testing::TemporaryDirectory;

constexpr uid_t kNobody = 65534; // owns what "the user" wrote: for root every root-owned file is the system's

struct RunningPeer {
    std::unique_ptr<ChildProcess> process;
    UniqueFd connection;
};

// `program` (a copy of the test peer), connected to a fresh socket in `directory`.
RunningPeer startPeer(const std::filesystem::path& program, const std::string& directory,
    std::optional<uid_t> user = std::nullopt, const std::map<std::string, std::string>& environment = {})
{
    const std::string socketPath = directory + "/peer.sock";
    std::filesystem::remove(socketPath);
    const auto address = transport::address(socketPath);
    const UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(address && listener &&
        bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0 &&
        listen(listener.get(), 1) == 0 && (!user || chmod(socketPath.c_str(), 0777) == 0));
    RunningPeer peer {std::make_unique<ChildProcess>(std::vector<std::string> {program.string(), socketPath},
                          quorvantile::testing::ChildOptions {.environment = environment, .user = user}),
        {}};
    pollfd entry {listener.get(), POLLIN, 0};
    if (poll(&entry, 1, 10'000) == 1) {
        peer.connection.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    return peer;
}

LinuxPeerCodeSignature peerSignature(PeerPidfdSource source = PeerPidfdSource::socketOption,
    std::int64_t unsettledNanoseconds = codesign::VerificationCache::kDefaultUnsettledNanoseconds)
{
    LinuxPeerCodeSignatureOptions options;
    options.pidfdSource = source;
    options.cacheUnsettledNanoseconds = unsettledNanoseconds;
    return LinuxPeerCodeSignature(testPki().anchorPem(), options);
}

const std::string kParentRequirement = transport::requirementText(transport::kParentIdentifier);

// A copy of the test peer at `path`, signed by the team as the parent application.
void signedPeerAt(const std::filesystem::path& path)
{
    std::filesystem::copy_file(quorvantile::testing::binDirectory() + "/quorvantile-codesign-test-peer", path);
    ASSERT_TRUE(codesign::signFile(path, transport::kParentIdentifier, testPki().team));
}

// A copy of the library that stands for injected code, given to `owner`.
void injectedLibraryAt(const std::filesystem::path& path, std::optional<uid_t> owner)
{
    std::filesystem::copy_file(QUORVANTILE_INJECTED_LIBRARY, path);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
    ASSERT_TRUE(!owner || chown(path.c_str(), *owner, *owner) == 0);
}

// The signed peer at `program`, started with `library` preloaded, is refused for that library.
// `beforeCheck` runs once the peer has connected.
void expectRefusedForItsLibrary(
    const std::filesystem::path& program, const std::string& library, const std::function<void()>& beforeCheck = {})
{
    signedPeerAt(program);
    auto signature = peerSignature();
    const RunningPeer running =
        startPeer(program, program.parent_path().string(), std::nullopt, {{"LD_PRELOAD", library}});
    ASSERT_TRUE(running.connection);
    if (beforeCheck) {
        beforeCheck();
    }
    EXPECT_FALSE(signature.peerSatisfies(running.connection.get(), kParentRequirement));
    EXPECT_EQ(signature.lastIntegrityRefusal(), PeerIntegrityRefusal::foreignCode);
}

// Failures of the signature itself are the verifier's tests; here they only have to reach the answer.
TEST(PeerCodeSignatureLinux, TrustsOnlyALiveCorrectlySignedPeerOfOurUserAndRemembersOnlyAnUnchangedSettledOne)
{
    const auto& pki = testPki();
    const codesign::testing::TemporaryDirectory directory;
    std::filesystem::permissions(directory.path(), std::filesystem::perms(0755));
    const std::string_view parent = transport::kParentIdentifier;
    const std::string_view companion = transport::kCompanionIdentifier;
    // A copy of the test peer, signed as `identifier` by `signer` (unsigned without one).
    auto peer = [&, copies = 0](const codesign::SigningIdentity* signer, std::string_view identifier) mutable {
        auto path = directory / ("peer-" + std::to_string(++copies));
        std::filesystem::copy_file(quorvantile::testing::binDirectory() + "/quorvantile-codesign-test-peer", path);
        if (signer != nullptr) {
            const auto signedLayout = codesign::signFile(path, identifier, *signer);
            EXPECT_TRUE(signedLayout) << (signedLayout ? "" : signedLayout.error().message);
        }
        return path;
    };
    const struct {
        const char* what;
        const codesign::SigningIdentity* signer;
        std::string_view signedAs, askedFor;
        bool trusted;
        std::optional<bool> goneReaped = std::nullopt; // the peer was killed, and perhaps reaped
        std::optional<uid_t> user = std::nullopt; // only root can start a peer as another user
    } cases[] = {
        {"signed by the team", &pki.team, parent, parent, true},
        {"the companion as the parent", &pki.team, companion, parent, false},
        {"unsigned", nullptr, parent, parent, false},
        {"another team", &pki.otherTeam, parent, parent, false},
        {"gone, not yet reaped", &pki.team, parent, parent, false, false},
        {"gone and reaped", &pki.team, parent, parent, false, true},
        {"correctly signed, running as another user", &pki.team, parent, parent, false, {}, 65534},
    };
    for (const auto& row : cases) {
        if (row.user && geteuid() != 0) {
            continue;
        }
        const auto program = peer(row.signer, row.signedAs);
        for (const auto source : {PeerPidfdSource::socketOption, PeerPidfdSource::processIdentifier}) {
            auto signature = peerSignature(source);
            const RunningPeer running = startPeer(program, directory.path(), row.user);
            ASSERT_TRUE(running.connection) << row.what;
            if (row.goneReaped) {
                running.process->kill(SIGKILL);
                siginfo_t info {}; // unless reaped (so that the pid may be reused), the peer stays a zombie
                if (!*row.goneReaped) {
                    waitid(P_PID, static_cast<id_t>(running.process->pid()), &info, WEXITED | WNOWAIT);
                } else {
                    static_cast<void>(running.process->waitForExit(10.0));
                }
            }
            EXPECT_EQ(transport::trustedPeer(running.connection.get(), row.askedFor, signature), row.trusted)
                << row.what;
            // A requirement the port cannot parse is never met.
            EXPECT_FALSE(signature.peerSatisfies(running.connection.get(), "anchor apple generic or identifier \"x\""));
        }
    }
    const auto program = peer(&pki.team, parent);
    const auto connectTwice = [&](LinuxPeerCodeSignature& signature) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const RunningPeer running = startPeer(program, directory.path());
            EXPECT_TRUE(transport::trustedPeer(running.connection.get(), parent, signature));
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

// Without a usable verifier module the server cannot verify anything: it says why in one line and
// refuses, never crashes, and tries the module again at the next peer.
TEST(PeerCodeSignatureLinux, AMissingUnloadableOrForeignVerifierModuleRefusesThePeerAndSaysWhy)
{
    const codesign::testing::TemporaryDirectory directory;
    std::filesystem::permissions(directory.path(), std::filesystem::perms(0755));
    signedPeerAt(directory / "peer");
    codesign::testing::writeFile(directory / "not-a-library.so", "text\n");
    const std::string missing = (directory / "missing.so").string();
    const struct {
        std::filesystem::path module;
        std::string reason; // a part of the one line
    } cases[] = {
        {missing, missing},
        {directory / "not-a-library.so", "not-a-library.so"},
        {QUORVANTILE_INJECTED_LIBRARY, "has no entry point quorvantile_verifier_module"},
        {QUORVANTILE_STALE_VERIFIER_MODULE,
            "is of another build (interface version " + std::to_string(codesign::kVerifierInterfaceVersion + 1) +
                ", expected " + std::to_string(codesign::kVerifierInterfaceVersion) + ")"},
        {"", "cannot find this program's own executable"},
    };
    auto peer = startPeer(directory / "peer", directory.path());
    ASSERT_TRUE(peer.connection);
    for (const auto& row : cases) {
        const auto loaded = VerifierModule::load(row.module, testPki().anchorPem());
        ASSERT_FALSE(loaded) << row.module;
        EXPECT_NE(loaded.error().find(row.reason), std::string::npos) << loaded.error();

        LinuxPeerCodeSignatureOptions options;
        options.verifierModule = row.module;
        LinuxPeerCodeSignature signature(testPki().anchorPem(), options);
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_FALSE(signature.peerSatisfies(peer.connection.get(), kParentRequirement)) << row.module;
            const auto fault = signature.takeFault();
            ASSERT_TRUE(fault) << row.module;
            EXPECT_EQ(*fault,
                "cannot verify the peer's signature: the signature verifier is not available: " + loaded.error());
            EXPECT_FALSE(signature.takeFault()) << "given once";
        }
        // A fault not taken is not given for a later peer refused for its own reasons.
        EXPECT_FALSE(signature.peerSatisfies(peer.connection.get(), kParentRequirement));
        EXPECT_FALSE(signature.peerSatisfies(-1, kParentRequirement));
        EXPECT_FALSE(signature.takeFault());
    }
    // The module beside the executable verifies the same peer.
    auto signature = peerSignature();
    EXPECT_TRUE(signature.peerSatisfies(peer.connection.get(), kParentRequirement));
    EXPECT_FALSE(signature.takeFault());
}

TEST(PeerIntegrity, TracerPidExecutableMappingsAndSystemFiles)
{
    const std::pair<std::string_view, std::optional<std::int64_t>> cases[] = {
        {"Name:\tsh\nState:\tS (sleeping)\nTracerPid:\t0\nUid:\t0\n", 0}, {"TracerPid:\t4242\n", 4242},
        {"TracerPid:\t12", 12}, // the last line without its line feed
        {"XTracerPid:\t0\n", std::nullopt}, {"TracerPid:\t\n", std::nullopt}, {"TracerPid:\t-1\n", std::nullopt},
        {"TracerPid:\t1x\n", std::nullopt}, {"TracerPid:\t99999999999999999999\n", std::nullopt}, {"", std::nullopt}};
    for (const auto& [status, tracer] : cases) {
        EXPECT_EQ(parseTracerPid(status), tracer) << status;
    }
    const std::string_view maps =
        "55d0c0a00000-55d0c0a02000 r--p 00000000 fe:00 247476                     /usr/bin/a b\n"
        "55d0c0a02000-55d0c0a08000 r-xp 00002000 fe:00 247476                     /usr/bin/a b\n"
        "7f00000000-7f00001000 rwxp 00000000 00:00 0 \n"
        "7f00001000-7f00002000 r-xp 00000000 00:1a 77                         /tmp/x.so (deleted)\n"
        "7f00002000-7f00003000 r-xs 00000000 103:0f 9 /dev/zero\n"
        "7ffd0000-7ffd2000 r-xp 00000000 00:00 0                          [vdso]\n";
    const auto mappings = parseExecutableMappings(maps);
    ASSERT_TRUE(mappings);
    const std::vector<ExecutableMapping> expected {{0xfe, 0, 247476, "/usr/bin/a b", false},
        {0, 0x1a, 77, "/tmp/x.so", true}, {0x103, 0x0f, 9, "/dev/zero", false}};
    EXPECT_EQ(*mappings, expected);

    // No line feed, a relative file, a file without a path, then one broken field each.
    for (const std::string_view bad : {"7f00-7f01 r-xp 00000000 fe:00 12 /lib/x.so",
             "7f00-7f01 r-xp 00000000 fe:00 12 lib/x.so\n", "7f00-7f01 r-xp 00000000 fe:00 12\n",
             "7f00-7f01 rxp 00000000 fe:00 12 /x\n", "7f00-7f01 r-xq 00000000 fe:00 12 /x\n",
             "7f007f01 r-xp 00000000 fe:00 12 /x\n", "7f00-7f01 r-xp 0000000g fe:00 12 /x\n",
             "7f00-7f01 r-xp 00000000 fe00 12 /x\n", "7f00-7f01 r-xp 00000000 fe:00 1x /x\n",
             "7f00-7f01 r-xp 00000000 fe:00 -1 /x\n", "7f00-7f01  r-xp 00000000 fe:00 12 /x\n"}) {
        EXPECT_FALSE(parseExecutableMappings(bad)) << bad;
    }
    EXPECT_EQ(parseExecutableMappings(""), std::vector<ExecutableMapping> {});
    // Only root's regular files that no one else may write to.
    for (const auto& [owner, mode, system] :
        std::initializer_list<std::tuple<uid_t, mode_t, bool>> {{0, S_IFREG | 0755, true}, {0, S_IFREG | 04755, true},
            {0, S_IFREG | 0775, false}, {0, S_IFREG | 0757, false}, {1000, S_IFREG | 0755, false},
            {0, S_IFDIR | 0755, false}, {0, S_IFLNK | 0755, false}}) {
        EXPECT_EQ(isSystemFile(mode, owner), system) << owner << " " << std::oct << mode;
    }
}

// A FUSE daemon reports whatever owner and mode it likes: a library on a FUSE mount is never the
// system's, even when the mount says root owns it and nobody else may write it.
TEST(PeerIntegrityMounts, ALibraryOnAFuseMountIsNotTheSystemsWhateverOwnerItReports)
{
    const TemporaryDirectory source, programs;
    std::filesystem::permissions(source.path(), std::filesystem::perms(0755));
    injectedLibraryAt(source / "libinjected.so", geteuid() == 0 ? std::optional(kNobody) : std::nullopt);
    const FuseMount mount(source.path(), {"--force-user=0", "--force-group=0", "--perms=0755"});
    if (mount.unavailable()) {
        GTEST_SKIP() << *mount.unavailable();
    }
    struct stat reported { };
    ASSERT_EQ(stat((mount / "libinjected.so").c_str(), &reported), 0);
    ASSERT_TRUE(reported.st_uid == 0 && (reported.st_mode & 07777) == 0755) << "the daemon's claim";
    expectRefusedForItsLibrary(programs / "parent", mount / "libinjected.so");
}

// Every mount a user can make is nosuid, and on such a mount a file's identity can be made up: an
// executable there is verified on every connection, and a library there is never the system's,
// even one owned by root.
TEST(PeerIntegrityMounts, ANosuidMountHoldsNoSystemCodeAndNoRememberedExecutable)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "making a mount needs root";
    }
    const TemporaryDirectory directory;
    std::filesystem::permissions(directory.path(), std::filesystem::perms(0755));
    const std::string nosuid = directory / "nosuid";
    std::filesystem::create_directory(nosuid);
    if (mount("tmpfs", nosuid.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        GTEST_SKIP() << "this machine does not let the test mount a tmpfs";
    }
    const auto unmount = [](const std::string* path) { umount2(path->c_str(), MNT_DETACH); };
    const std::unique_ptr<const std::string, decltype(unmount)> mounted(&nosuid, unmount);

    signedPeerAt(nosuid + "/parent");
    auto eager = peerSignature(PeerPidfdSource::socketOption, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const RunningPeer running = startPeer(nosuid + "/parent", directory.path());
        ASSERT_TRUE(running.connection);
        EXPECT_TRUE(eager.peerSatisfies(running.connection.get(), kParentRequirement));
    }
    EXPECT_EQ(eager.fullVerifications(), 2U) << "remembered although its identity proves nothing";

    injectedLibraryAt(nosuid + "/libinjected.so", std::nullopt); // root's, mode 0755
    expectRefusedForItsLibrary(directory / "parent", nosuid + "/libinjected.so");
}

// A mount of root's that is not nosuid looks like the system's, but when its mount point lies inside
// a FUSE mount it can only be reached through that daemon. Its libraries are refused without a walk
// to them, which would wait for as long as the daemon does not answer.
TEST(PeerIntegrityMounts, ALibraryOnAMountInsideAStalledFuseMountIsRefusedWithoutWaiting)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "making a mount needs root";
    }
    const TemporaryDirectory source, programs;
    std::filesystem::permissions(source.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(programs.path(), std::filesystem::perms(0755));
    std::filesystem::create_directory(source / "inner");
    FuseMount fuse(source.path());
    if (fuse.unavailable()) {
        GTEST_SKIP() << *fuse.unavailable();
    }
    const std::string inner = fuse / "inner";
    if (mount("tmpfs", inner.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        GTEST_SKIP() << "this machine does not let the test mount a tmpfs";
    }
    const auto unmount = [](const std::string* path) { umount2(path->c_str(), MNT_DETACH); };
    const std::unique_ptr<const std::string, decltype(unmount)> mounted(&inner, unmount); // before the FUSE mount
    injectedLibraryAt(inner + "/libinjected.so", std::nullopt); // root's, mode 0755
    expectRefusedForItsLibrary(programs / "parent", inner + "/libinjected.so", [&fuse] { fuse.stop(); });
}

// Code running as the user renames its files in a loop while the companion looks: a path read from
// maps names another file a moment later. Neither a library exchanged with a link to libc or with a
// file of root's (left in the user's folder, or hard-linked there where the system allows it) nor
// the user's copy of the signed program exchanged with the library may pass even once.
TEST(PeerIntegrityRaces, NoRenameExchangeGetsTheUsersLibraryPast)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "files of another user than the peer's checker need root";
    }
    constexpr int kChecks = 1000;
    const struct {
        const char* what;
        const char* program; // in the user's folder, or the system's copy
        const char* first;
        const char* second;
    } cases[] = {
        {"the preloaded library exchanged with a link to libc", nullptr, "libinjected.so", "libc-link.so"},
        {"the preloaded library exchanged with a file of root's", nullptr, "libinjected.so", "roots.so"},
        {"the user's copy of the signed program exchanged with the library", "parent", "parent", "libinjected.so"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        const TemporaryDirectory users(kNobody), system;
        std::filesystem::permissions(users.path(), std::filesystem::perms(0755));
        std::filesystem::permissions(system.path(), std::filesystem::perms(0755));
        injectedLibraryAt(users / "libinjected.so", kNobody);
        ASSERT_EQ(symlink("/lib/x86_64-linux-gnu/libc.so.6", (users / "libc-link.so").c_str()), 0);
        injectedLibraryAt(users / "roots.so", std::nullopt); // root's, mode 0755, on the same mount
        const std::filesystem::path program = row.program ? users / row.program : system / "parent";
        signedPeerAt(program);
        ASSERT_TRUE(!row.program || chown(program.c_str(), kNobody, kNobody) == 0);

        auto signature = peerSignature();
        const RunningPeer running =
            startPeer(program, system.path(), std::nullopt, {{"LD_PRELOAD", users / "libinjected.so"}});
        ASSERT_TRUE(running.connection);
        ASSERT_FALSE(signature.peerSatisfies(running.connection.get(), kParentRequirement)) << "before any rename";
        std::atomic<bool> stop {false};
        std::thread exchanger([&] {
            const std::string first = users / row.first;
            const std::string second = users / row.second;
            while (!stop) {
                renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE);
            }
        });
        int trusted = 0;
        for (int check = 0; check < kChecks; ++check) {
            trusted += signature.peerSatisfies(running.connection.get(), kParentRequirement) ? 1 : 0;
        }
        stop = true;
        exchanger.join();
        EXPECT_EQ(trusted, 0) << "of " << kChecks << " checks";
    }
}

} // namespace
} // namespace quorvantile
