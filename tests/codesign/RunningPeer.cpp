#include "RunningPeer.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace quorvantile::codesign::testing {
namespace {

constexpr int kConnectWaitMilliseconds = 10'000;
constexpr auto kExitWait = std::chrono::seconds(5);

} // namespace

RunningPeer::RunningPeer(
    const std::filesystem::path& program, const std::filesystem::path& directory, std::optional<uid_t> user)
{
    const std::string socketPath = (directory / "peer.sock").string();
    std::filesystem::remove(socketPath);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        return;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener_ || bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.get(), 1) != 0) {
        return;
    }
    if (user && chmod(socketPath.c_str(), 0777) != 0) {
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        if (user && (setgroups(0, nullptr) != 0 || setgid(*user) != 0 || setuid(*user) != 0)) {
            _exit(126);
        }
        execl(program.c_str(), program.c_str(), socketPath.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ < 0) {
        return;
    }
    pollfd entry {listener_.get(), POLLIN, 0};
    if (poll(&entry, 1, kConnectWaitMilliseconds) == 1) {
        connection_.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
}

void RunningPeer::kill(bool reap)
{
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGKILL);
    siginfo_t info {};
    // Waits for the end but, unless reaping, leaves the peer a zombie.
    waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | (reap ? 0 : WNOWAIT));
    if (reap) {
        pid_ = -1;
    }
}

RunningPeer::~RunningPeer()
{
    connection_.reset();
    if (pid_ <= 0) {
        return;
    }
    const auto giveUp = std::chrono::steady_clock::now() + kExitWait;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > giveUp) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace quorvantile::codesign::testing
