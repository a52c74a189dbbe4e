#include "companion/Server.h"

#include "common/UniqueFd.h"
#include "companion/GroupContainer.h"
#include "companion/PrivateDirectory.h"
#include "companion/SensorCompanion.h"
#include "companion/SensorTransport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace quorvantile {
namespace {

namespace transport = SensorTransport;

[[noreturn]] void failStartUp() { std::exit(SensorCompanion::kExitFailure); }

// Opens and checks the lock file: an empty regular file of ours with mode 0600 and one link.
UniqueFd openLockFile(const std::string& path)
{
    UniqueFd lock(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock) {
        failStartUp();
    }
    struct stat status { };
    if (fstat(lock.get(), &status) != 0 || status.st_uid != geteuid() || status.st_size != 0 ||
        !S_ISREG(status.st_mode) || status.st_nlink != 1 || (status.st_mode & 0777) != 0600) {
        failStartUp();
    }
    return lock;
}

// Removes the socket a crashed server left behind; anything else at that path stops the start.
void removeStaleSocket(const std::string& path)
{
    struct stat status { };
    if (lstat(path.c_str(), &status) == 0) {
        if (status.st_uid != geteuid() || !S_ISSOCK(status.st_mode) || unlink(path.c_str()) != 0) {
            failStartUp();
        }
    } else if (errno != ENOENT) {
        failStartUp();
    }
}

// Binds with its final mode 0600 already in place: a chmod through the path afterwards would leave
// a moment with a wider mode and could follow whatever the path names by then.
bool bindPrivately(int fd, const sockaddr_un& address)
{
    const mode_t previous = umask(0177);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    umask(previous);
    return bound == 0;
}

UniqueFd listen(const sockaddr_un& address)
{
    UniqueFd listener(socket(AF_UNIX, SOCK_STREAM, 0));
    if (!listener || !transport::configureSocket(listener.get()) || !bindPrivately(listener.get(), address) ||
        ::listen(listener.get(), kListenBacklog) != 0) {
        failStartUp();
    }
    return listener;
}

int pollTimeoutMilliseconds(bool persistent, double idleDeadline, const Clock& clock)
{
    if (persistent) {
        return -1;
    }
    const double milliseconds = std::ceil((idleDeadline - clock.uptime()) * 1000.0);
    if (!(milliseconds > 0)) {
        return 0; // passed, or not a number
    }
    return milliseconds > 2147483647.0 ? 2147483647 : static_cast<int>(milliseconds);
}

// Serves one accepted connection; returns whether a reply was sent completely.
bool serveConnection(UniqueFd connection, double deadline, const ServerPorts& ports, const StatusReporter& reporter)
{
    // Non-blocking and close-on-exec came with accept4. The peer is checked before a single byte
    // is read from it: an untrusted peer is refused at once, whatever it sends or withholds.
    if (!transport::trustedPeer(connection.get(), transport::kParentIdentifier, *ports.signatures)) {
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
    return reply && transport::sendReply(connection.get(), reply->bytes, deadline, reply->maximum, *ports.clock);
}

} // namespace

ServerPorts systemServerPorts()
{
    ServerPorts ports;
    ports.container = groupContainer;
    ports.readers = systemRequestReaders();
    return ports;
}

void runServer(const ServeFlags& flags, const ServerPorts& ports)
{
    const StatusReporter reporter(ports.outputFd, flags.logging);
    const Clock& clock = *ports.clock;

    const auto container = ports.container ? ports.container() : std::nullopt;
    if (!container) {
        std::fputs(
            "quorvantile-sensors: refusing to serve: no group container directory could be found or made\n", stderr);
        failStartUp();
    }
    if (const auto problem = privateDirectoryProblem(*container)) {
        std::fprintf(stderr, "quorvantile-sensors: refusing to serve: %s\n", problem->c_str());
        failStartUp();
    }
    const std::string socketPath = *container + "/" + std::string(kSocketFileName);
    const auto address = transport::address(socketPath);
    if (!address) {
        failStartUp();
    }
    UniqueFd lock = openLockFile(*container + "/" + std::string(kLockFileName));
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            failStartUp(); // not a running peer: the lock itself failed
        }
        reporter.report({{"exit", std::string("alreadyRunning")}});
        return;
    }
    removeStaleSocket(socketPath);
    UniqueFd listener = listen(*address);

    StatusReporter(ports.outputFd, flags.logging || flags.controlled)
        .report({{"ready", true}, {"endpoint", socketPath}, {"uid", static_cast<std::int64_t>(geteuid())}});

    double idleDeadline = clock.uptime() + ports.idleSeconds;
    std::int64_t served = 0;

    for (;;) {
        std::array<pollfd, 2> entries {pollfd {listener.get(), POLLIN, 0}, pollfd {ports.controlFd, POLLIN, 0}};
        const nfds_t count = flags.controlled ? 2 : 1;
        const int ready = poll(entries.data(), count, pollTimeoutMilliseconds(flags.persistent, idleDeadline, clock));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            break; // idle deadline
        }
        if (flags.controlled && entries[1].revents != 0) {
            break; // the parent wrote, closed or lost its end of the control pipe
        }
        if ((entries[0].revents & POLLIN) == 0) {
            break;
        }
        UniqueFd connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
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
    }

    reporter.report({{"exit", std::string(flags.controlled ? "parentStoppedOrIdle" : "idle")}, {"requests", served}});
    unlink(socketPath.c_str());
    listener.reset();
    lock.reset();
}

namespace SensorCompanion {

void serve(bool logging, bool persistent, bool controlled)
{
    // A client that goes away mid-reply must cost an error on send, never the process.
    std::signal(SIGPIPE, SIG_IGN);
    runServer(ServeFlags {logging, persistent, controlled}, systemServerPorts());
}

void report(const StatusLine& values, bool enabled) { StatusReporter(STDOUT_FILENO, enabled).report(values); }

} // namespace SensorCompanion
} // namespace quorvantile
