#include "companion/Server.h"

#include "common/UniqueFd.h"
#include "companion/DirectoryBinding.h"
#include "companion/GroupContainer.h"
#include "companion/PrivateDirectory.h"
#include "companion/SensorTransport.h"
#include "companion/SocketOptions.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

namespace quorvantile {
namespace {

namespace transport = SensorTransport;

using End = ServerOutcome::End;

ServerOutcome startUpFailure(std::string what) { return {End::startUpFailed, std::move(what)}; }

ServerOutcome systemFailure(std::string_view what, const std::string& path)
{
    const int error = errno;
    return startUpFailure(std::string(what) + " " + path + ": " + std::strerror(error));
}

// Opens and checks the lock file in the container: an empty regular file of ours with mode 0600 and
// one link.
std::optional<ServerOutcome> openLockFile(int container, const std::string& path, UniqueFd& lock)
{
    const std::string name(kLockFileName);
    lock.reset(openat(container, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock) {
        return systemFailure("cannot open the lock file", path);
    }
    struct stat status { };
    if (fstat(lock.get(), &status) != 0 || status.st_uid != geteuid() || status.st_size != 0 ||
        !S_ISREG(status.st_mode) || status.st_nlink != 1 || (status.st_mode & 0777) != 0600) {
        return startUpFailure("the lock file " + path + " is not an empty 0600 file of this user with one link");
    }
    return std::nullopt;
}

// Removes the socket a crashed server left behind in the container; anything else there stops the start.
std::optional<ServerOutcome> removeStaleSocket(int container, const std::string& path)
{
    const std::string name(kSocketFileName);
    struct stat status { };
    if (fstatat(container, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (status.st_uid != geteuid() || !S_ISSOCK(status.st_mode)) {
            return startUpFailure(path + " exists and is not a socket of this user");
        }
        if (unlinkat(container, name.c_str(), 0) != 0) {
            return systemFailure("cannot remove the stale socket", path);
        }
    } else if (errno != ENOENT) {
        return systemFailure("cannot examine", path);
    }
    return std::nullopt;
}

// Binds in the container that was checked (the platform's port keeps the bind there), with its
// final mode 0600 already in place: a chmod through the path afterwards would leave a moment with a
// wider mode and could follow whatever the path names by then.
std::optional<std::string> bindPrivately(int fd, int container, const std::string& containerPath)
{
    const mode_t previous = umask(0177);
    auto problem = bindInDirectory(fd, container, containerPath, kSocketFileName);
    umask(previous);
    return problem;
}

std::optional<ServerOutcome> listen(
    int container, const std::string& containerPath, const std::string& path, UniqueFd& listener)
{
    listener.reset(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!listener || !transport::configureSocket(listener.get())) {
        return systemFailure("cannot listen on", path);
    }
    if (const auto problem = bindPrivately(listener.get(), container, containerPath)) {
        return startUpFailure("cannot listen on " + path + ": " + *problem);
    }
    if (::listen(listener.get(), kListenBacklog) != 0) {
        return systemFailure("cannot listen on", path);
    }
    return std::nullopt;
}

// How long poll may wait for the uptime `wake` (infinity: for ever).
int pollTimeoutMilliseconds(double wake, const Clock& clock)
{
    if (std::isinf(wake) && wake > 0) {
        return -1;
    }
    const double milliseconds = std::ceil((wake - clock.uptime()) * 1000.0);
    if (!(milliseconds > 0)) {
        return 0; // passed, or not a number
    }
    return milliseconds > 2147483647.0 ? 2147483647 : static_cast<int>(milliseconds);
}

// Serves one accepted connection; returns whether a reply was sent completely. Nothing is sent
// once a status line has failed.
bool serveConnection(UniqueFd connection, double deadline, const ServerPorts& ports, const StatusReporter& reporter)
{
    // The connection's options came with acceptConnection. The peer is checked before a single byte
    // is read from it: an untrusted peer is refused at once, whatever it sends or withholds.
    if (!ports.signatures ||
        !transport::trustedPeer(connection.get(), transport::kParentIdentifier, *ports.signatures)) {
        if (ports.signatures) {
            if (const auto fault = ports.signatures->takeFault()) {
                reporter.explain(*fault);
            }
        }
        reporter.report({{"trusted", false}, {"sensorReadCount", std::int64_t {0}}});
        return false;
    }
    const auto line = transport::receive(connection.get(), transport::kRequestLineBytes, deadline, *ports.clock);
    if (!line) {
        reportRefusal(reporter);
        return false;
    }
    const auto reply =
        handleRequest(*line, Connection {connection.get(), deadline, ports.clock}, ports.readers, reporter);
    return reply && !reporter.failed() &&
        transport::sendReply(connection.get(), reply->bytes, deadline, reply->maximum, *ports.clock);
}

// The run itself; runServer explains a failure.
ServerOutcome serve(const ServeFlags& flags, const ServerPorts& ports, const StatusReporter& reporter)
{
    const Clock& clock = *ports.clock;
    const auto statusLineFailed = [] {
        return ServerOutcome {End::statusLineFailed, "a status line could not be written"};
    };
    const auto containerPath = ports.container ? ports.container() : std::nullopt;
    if (!containerPath) {
        return startUpFailure("no group container directory (set XDG_RUNTIME_DIR to an absolute path)");
    }
    // Opened once and used only through this descriptor from here on: a parent folder that others
    // can write cannot swap the container between the check and the lock or the bind.
    UniqueFd container;
    if (const auto problem = openPrivateDirectory(*containerPath, container)) {
        return startUpFailure("refusing to serve: " + *problem);
    }
    const std::string socketPath = *containerPath + "/" + std::string(kSocketFileName);
    const std::string lockPath = *containerPath + "/" + std::string(kLockFileName);
    if (!transport::address(socketPath)) {
        return startUpFailure("the socket path " + socketPath + " is longer than 103 bytes");
    }
    UniqueFd lock;
    if (auto failure = openLockFile(container.get(), lockPath, lock)) {
        return *failure;
    }
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return systemFailure("cannot lock", lockPath);
        }
        if (!reporter.report({{"exit", std::string("alreadyRunning")}})) {
            return statusLineFailed();
        }
        return {End::alreadyRunning, {}};
    }
    if (auto failure = removeStaleSocket(container.get(), socketPath)) {
        return *failure;
    }
    UniqueFd listener;
    if (auto failure = listen(container.get(), *containerPath, socketPath, listener)) {
        return *failure;
    }
    const auto removeSocket = [&container] {
        // Nothing to act on when it fails: the next start removes a stale socket.
        static_cast<void>(unlinkat(container.get(), std::string(kSocketFileName).c_str(), 0));
    };

    const bool ready =
        StatusReporter(ports.outputFd, flags.logging || flags.controlled)
            .report({{"ready", true}, {"endpoint", socketPath}, {"uid", static_cast<std::int64_t>(geteuid())}});
    if (!ready) {
        removeSocket();
        return statusLineFailed();
    }

    double idleDeadline = clock.uptime() + ports.idleSeconds;
    // When the readers want to let go of what they keep between requests.
    double restAt = std::numeric_limits<double>::infinity();
    std::int64_t served = 0;

    for (;;) {
        std::array<pollfd, 2> entries {pollfd {listener.get(), POLLIN, 0}, pollfd {ports.controlFd, POLLIN, 0}};
        const nfds_t count = flags.controlled ? 2 : 1;
        const double wake = flags.persistent ? restAt : std::min(idleDeadline, restAt);
        const int polled = poll(entries.data(), count, pollTimeoutMilliseconds(wake, clock));
        if (polled < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (polled == 0) {
            if (const double now = clock.uptime(); now >= restAt) {
                restAt = ports.readers.rest(now); // finite only when there is a rest to call
                continue;
            }
            if (flags.persistent) {
                continue; // woke a moment before the rest was due
            }
            break; // idle deadline
        }
        if (flags.controlled && entries[1].revents != 0) {
            break; // the parent wrote, closed or lost its end of the control pipe
        }
        if ((entries[0].revents & POLLIN) == 0) {
            break;
        }
        UniqueFd connection = transport::acceptConnection(listener.get());
        if (!connection) {
            // ECONNABORTED is the client's doing and must not end the server.
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
                continue;
            }
            break;
        }
        const double accepted = clock.uptime();
        const double deadline = flags.persistent || accepted + kConnectionSeconds < idleDeadline
            ? accepted + kConnectionSeconds
            : idleDeadline;
        if (serveConnection(std::move(connection), deadline, ports, reporter)) {
            ++served;
            idleDeadline = clock.uptime() + ports.idleSeconds;
        }
        if (ports.readers.rest) {
            restAt = ports.readers.rest(clock.uptime());
        }
        if (reporter.failed()) {
            break;
        }
    }

    const bool closed = !reporter.failed() &&
        reporter.report(
            {{"exit", std::string(flags.controlled ? "parentStoppedOrIdle" : "idle")}, {"requests", served}});
    removeSocket();
    return closed ? ServerOutcome {} : statusLineFailed();
}

} // namespace

ServerPorts systemServerPorts(const Environment& environment)
{
    ServerPorts ports;
    ports.signatures = systemPeerCodeSignature();
    ports.container = [environment] { return groupContainer(environment); };
    ports.readers = systemRequestReaders(environment);
    return ports;
}

ServerOutcome runServer(const ServeFlags& flags, const ServerPorts& ports)
{
    const StatusReporter reporter(ports.outputFd, flags.logging, ports.reasonFd);
    ServerOutcome outcome = serve(flags, ports, reporter);
    if (!outcome.succeeded()) {
        reporter.explain(outcome.reason);
    }
    return outcome;
}

} // namespace quorvantile
