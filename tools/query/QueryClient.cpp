#include "QueryClient.h"

#include "common/Clock.h"
#include "common/UniqueFd.h"
#include "companion/PeerCredentials.h"
#include "companion/SensorTransport.h"
#include "companion/SocketOptions.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

namespace quorvantile::query {
namespace {

namespace transport = SensorTransport;

constexpr std::array kRequests {
    RequestKind {"snapshot", transport::request, false, transport::kMaximumReplyBytes},
    RequestKind {"battery", transport::accessoryBatteryRequest, false, transport::kMaximumReplyBytes},
    RequestKind {"inventory", transport::inventoryRequest, false, transport::kMaximumInventoryReplyBytes},
    RequestKind {"process", transport::processRequest, true, transport::kMaximumReplyBytes},
    RequestKind {"quit", transport::quitRequest, true, transport::kMaximumReplyBytes},
};

// A full listening backlog answers EAGAIN; try again until the deadline.
constexpr auto kConnectRetryInterval = std::chrono::milliseconds(10);

Failure lostConnection(double deadline, std::string_view what)
{
    if (systemClock().uptime() >= deadline) {
        return Failure {"the companion did not answer in time", FailureReason::timedOut};
    }
    return Failure {std::string(what), FailureReason::closed};
}

std::variant<UniqueFd, Failure> connectTo(const std::string& socketPath, double deadline)
{
    const auto address = transport::address(socketPath);
    if (!address) {
        return Failure {"the socket path is longer than 103 bytes or holds a zero byte: " + socketPath};
    }
    for (;;) {
        UniqueFd socket = transport::streamSocket();
        if (!socket) {
            return Failure {std::string("cannot create a socket: ") + std::strerror(errno)};
        }
        if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0) {
            return socket;
        }
        const int error = errno;
        if (error == ENOENT || error == ECONNREFUSED) {
            return Failure {"no companion is listening at " + socketPath, FailureReason::notListening};
        }
        if (error != EAGAIN || systemClock().uptime() >= deadline) {
            return Failure {"cannot connect to " + socketPath + ": " + std::strerror(error)};
        }
        std::this_thread::sleep_for(kConnectRetryInterval);
    }
}

} // namespace

std::optional<RequestKind> requestNamed(std::string_view name)
{
    for (const RequestKind& request : kRequests) {
        if (name == request.name || name == request.line.substr(0, request.line.size() - 1)) {
            return request;
        }
    }
    return std::nullopt;
}

std::string_view requestNames() { return "snapshot, battery, inventory, process BODY, quit BODY"; }

Outcome ask(const std::string& socketPath, const RequestKind& request, std::string_view body, double timeoutSeconds)
{
    const double deadline = systemClock().uptime() + timeoutSeconds;
    auto connected = connectTo(socketPath, deadline);
    if (auto* failure = std::get_if<Failure>(&connected)) {
        return *failure;
    }
    const UniqueFd socket = std::move(std::get<UniqueFd>(connected));
    // Whoever listens there hears the request: it must be this user's own companion.
    const auto server = peerCredentials(socket.get());
    if (!server || server->uid != geteuid()) {
        return Failure {"the socket at " + socketPath + " is served by " +
            (server ? "uid " + std::to_string(server->uid) : std::string("an unknown user")) +
            ", not by this user: nothing was sent"};
    }

    std::string message(request.line);
    if (request.hasBody) {
        if (body.empty() || body.size() > transport::kMaximumRequestBodyBytes) {
            return Failure {"the request body must hold 1 to 2048 bytes"};
        }
        message += transport::lengthPrefix(static_cast<std::uint32_t>(body.size()));
        message += body;
    }
    if (!transport::send(socket.get(), message, deadline, transport::kMaximumReplyBytes)) {
        return lostConnection(deadline, "the companion closed the connection before it took the request");
    }
    const auto prefix = transport::receive(socket.get(), transport::kLengthPrefixBytes, deadline);
    if (!prefix) {
        // The companion's only way to refuse: an untrusted client, an unknown request, or a reader that
        // had no trustworthy answer. Its diagnostics mode says which.
        return lostConnection(deadline,
            "the companion closed the connection without a reply: it refused the request or could not answer it "
            "soundly (run quorvantile-sensors --diagnostics to see why)");
    }
    const std::uint32_t length = transport::readLengthPrefix(*prefix);
    if (length == 0 || length > request.maximumReplyBytes) {
        return Failure {
            "the companion announced a reply of " + std::to_string(length) + " bytes, outside the protocol's limit"};
    }
    auto reply = transport::receive(socket.get(), length, deadline);
    if (!reply) {
        return lostConnection(deadline, "the companion closed the connection in the middle of its reply");
    }
    return std::move(*reply);
}

} // namespace quorvantile::query
