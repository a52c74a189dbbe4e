// Time to verify a signed 5 MB executable: in full (hash, CMS, chain), and as the peer of a
// connection whose executable is already in the verification cache; and the peer checks alone.
//
// The peer is a copy of this very program, padded to 5 MB and signed with the build's development
// identity; started with "--peer SOCKET" it connects and waits, like a parent application would.

#include "codesign/Signer.h"
#include "codesign/Verifier.h"
#include "common/UniqueFd.h"
#include "common/linux/MountTable.h"
#include "common/linux/MountedFiles.h"
#include "companion/SensorTransport.h"
#include "companion/linux/LinuxPeerCodeSignature.h"
#include "companion/linux/PeerIntegrity.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

namespace {

using namespace quorvantile;

constexpr std::size_t kExecutableBytes = 5 * 1024 * 1024;
constexpr int kAcceptWaitMilliseconds = 10'000;

std::string readWhole(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The peer side: connect and stay until the server closes the connection.
int runPeer(const char* socketPath)
{
    alarm(600);
    const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath, sizeof address.sun_path - 1);
    if (!fd || connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return 1;
    }
    char byte = 0;
    while (read(fd.get(), &byte, 1) > 0) { }
    return 0;
}

// A signed 5 MB copy of this program, a listening socket, the running peer and its connection.
class SignedPeer {
public:
    SignedPeer()
    {
        char pattern[] = "/tmp/quorvantile-codesign-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        directory_ = pattern;
        program_ = directory_ / "parent";
        std::string bytes = readWhole("/proc/self/exe");
        bytes.resize(std::max(bytes.size(), kExecutableBytes), '\0'); // loaders ignore what follows
        std::ofstream(program_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::filesystem::permissions(program_, std::filesystem::perms(0755));

        auto identity = codesign::loadSigningIdentity(
            readWhole(QUORVANTILE_DEVELOPMENT_CERTIFICATE), readWhole(QUORVANTILE_DEVELOPMENT_KEY), std::nullopt);
        if (!identity || !codesign::signFile(program_, SensorTransport::kParentIdentifier, *identity)) {
            return;
        }
        const std::string socketPath = (directory_ / "bench.sock").string();
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
        listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener_ || bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_.get(), 1) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            execl(program_.c_str(), program_.c_str(), "--peer", socketPath.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        pollfd entry {listener_.get(), POLLIN, 0};
        if (pid_ > 0 && poll(&entry, 1, kAcceptWaitMilliseconds) == 1) {
            connection_.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
    }
    SignedPeer(const SignedPeer&) = delete;
    SignedPeer& operator=(const SignedPeer&) = delete;
    ~SignedPeer()
    {
        connection_.reset();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (!directory_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(directory_, ignored);
        }
    }

    [[nodiscard]] bool ready() const { return connection_.valid(); }
    [[nodiscard]] int connection() const { return connection_.get(); }
    [[nodiscard]] const std::filesystem::path& program() const { return program_; }
    [[nodiscard]] pid_t pid() const { return pid_; }

private:
    std::filesystem::path directory_;
    std::filesystem::path program_;
    UniqueFd listener_;
    UniqueFd connection_;
    pid_t pid_ = -1;
};

SignedPeer& peer()
{
    static SignedPeer running;
    return running;
}

std::string developmentAnchor() { return readWhole(QUORVANTILE_DEVELOPMENT_ANCHOR); }

void verifyInFull(benchmark::State& state)
{
    if (!peer().ready()) {
        state.SkipWithError("the signed peer could not be prepared");
        return;
    }
    const codesign::SignatureVerifier verifier(developmentAnchor());
    const UniqueFd fd(open(peer().program().c_str(), O_RDONLY | O_CLOEXEC));
    for (auto _ : state) {
        const auto verified = verifier.verify(fd.get());
        if (!verified) {
            state.SkipWithError(std::string(codesign::describe(verified.error())).c_str());
            return;
        }
        benchmark::DoNotOptimize(verified->directory.contentBytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kExecutableBytes));
}
BENCHMARK(verifyInFull)->Unit(benchmark::kMillisecond);

void firstConnectionOfAPeer(benchmark::State& state)
{
    if (!peer().ready()) {
        state.SkipWithError("the signed peer could not be prepared");
        return;
    }
    const std::string anchor = developmentAnchor();
    for (auto _ : state) {
        LinuxPeerCodeSignature signature(anchor);
        if (!SensorTransport::trustedPeer(peer().connection(), SensorTransport::kParentIdentifier, signature)) {
            state.SkipWithError("the peer was not trusted");
            return;
        }
    }
}
BENCHMARK(firstConnectionOfAPeer)->Unit(benchmark::kMillisecond);

void cachedPeer(benchmark::State& state)
{
    if (!peer().ready()) {
        state.SkipWithError("the signed peer could not be prepared");
        return;
    }
    // The copy was signed a moment ago; a server sees executables installed long before.
    LinuxPeerCodeSignatureOptions options;
    options.cacheUnsettledNanoseconds = 0;
    LinuxPeerCodeSignature signature(developmentAnchor(), options);
    for (auto _ : state) {
        if (!SensorTransport::trustedPeer(peer().connection(), SensorTransport::kParentIdentifier, signature)) {
            state.SkipWithError("the peer was not trusted");
            return;
        }
    }
    state.counters["full verifications"] = static_cast<double>(signature.fullVerifications());
}
BENCHMARK(cachedPeer)->Unit(benchmark::kMicrosecond);

// What the peer checks after the signature add to every connection, cache hit or not: the
// namespaces, the tracer and every executable mapping with its file.
void peerIntegrityChecks(benchmark::State& state)
{
    if (!peer().ready()) {
        state.SkipWithError("the signed peer could not be prepared");
        return;
    }
    PeerIntegrity integrity;
    mounts::MountTable table;
    const UniqueFd directory(open(("/proc/" + std::to_string(peer().pid())).c_str(), O_RDONLY | O_DIRECTORY));
    const UniqueFd executable(open(peer().program().c_str(), O_PATH | O_CLOEXEC));
    const auto status = executable && table.refresh() ? mounts::fileStatus(executable.get()) : std::nullopt;
    const mounts::Mount* mount = status ? table.find(status->mountId) : nullptr;
    if (!directory || mount == nullptr) {
        state.SkipWithError("the peer's process or executable is gone");
        return;
    }
    const MappedExecutable mapped {mount->deviceMajor, mount->deviceMinor, status->inode};
    for (auto _ : state) {
        if (!table.refresh()) {
            state.SkipWithError("the mount table cannot be read");
            return;
        }
        if (const auto refusal = integrity.check(directory.get(), mapped, table)) {
            state.SkipWithError(describe(*refusal));
            return;
        }
    }
}
BENCHMARK(peerIntegrityChecks)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--peer") == 0) {
        return runPeer(argv[2]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
