#include "companion/SensorTransport.h"

#include "companion/SocketOptions.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace quorvantile::SensorTransport {
namespace {

// Milliseconds left until `deadline`, capped; absent when it has passed or is not finite.
std::optional<int> remainingMilliseconds(double deadline, const Clock& clock)
{
    const double remaining = deadline - clock.uptime();
    if (!std::isfinite(remaining) || remaining <= 0) {
        return std::nullopt;
    }
    const double milliseconds = std::ceil(remaining * 1000.0);
    return static_cast<int>(std::min(milliseconds, static_cast<double>(kMaximumPollMilliseconds)));
}

} // namespace

std::optional<sockaddr_un> address(std::string_view path)
{
    if (path.find('\0') != std::string_view::npos || path.size() > kMaximumSocketPathBytes) {
        return std::nullopt;
    }
    sockaddr_un result {};
    result.sun_family = AF_UNIX;
    std::memcpy(result.sun_path, path.data(), path.size());
    return result;
}

bool configureSocket(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 && preventSigpipe(fd);
}

bool wait(int fd, short events, double deadline, const Clock& clock)
{
    for (;;) {
        const auto timeout = remainingMilliseconds(deadline, clock);
        if (!timeout) {
            return false;
        }
        pollfd entry {fd, events, 0};
        const int count = poll(&entry, 1, *timeout);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        return count > 0 && (entry.revents & events) != 0;
    }
}

namespace {

// Sends all of `data` before `deadline`. The socket is non-blocking: a send is tried first and
// the loop waits only when the socket cannot take more, so a reply that fits costs one call.
bool sendBytes(int fd, std::string_view data, double deadline, const Clock& clock)
{
    std::size_t offset = 0;
    while (offset < data.size()) {
        if (!remainingMilliseconds(deadline, clock)) {
            return false;
        }
        const ssize_t sent = ::send(fd, data.data() + offset, data.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            offset += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == 0) {
            return false;
        }
        if (errno != EINTR && ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait(fd, POLLOUT, deadline, clock))) {
            return false;
        }
    }
    return true;
}

// Whether `data` may be sent under `maximum`, which must be one of the two reply limits.
bool withinLimit(std::string_view data, std::size_t maximum)
{
    return (maximum == kMaximumReplyBytes || maximum == kMaximumInventoryReplyBytes) && !data.empty() &&
        data.size() <= maximum;
}

} // namespace

bool send(int fd, std::string_view data, double deadline, std::size_t maximum, const Clock& clock)
{
    return withinLimit(data, maximum) && sendBytes(fd, data, deadline, clock);
}

std::optional<std::string> receive(int fd, std::size_t count, double deadline, const Clock& clock)
{
    std::string buffer(count, '\0');
    std::size_t received = 0;
    while (received < count) {
        // What has arrived is taken at once; the loop waits only when nothing has.
        if (!remainingMilliseconds(deadline, clock)) {
            return std::nullopt;
        }
        const ssize_t got = ::recv(fd, buffer.data() + received, count - received, MSG_DONTWAIT);
        if (got > 0) {
            received += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) {
            return std::nullopt;
        }
        if (errno != EINTR && ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait(fd, POLLIN, deadline, clock))) {
            return std::nullopt;
        }
    }
    return buffer;
}

std::string lengthPrefix(std::uint32_t length)
{
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
        static_cast<char>(length)};
}

std::uint32_t readLengthPrefix(std::string_view fourBytes)
{
    std::uint32_t length = 0;
    for (std::size_t index = 0; index < kLengthPrefixBytes && index < fourBytes.size(); ++index) {
        length = (length << 8) | static_cast<unsigned char>(fourBytes[index]);
    }
    return length;
}

std::optional<std::string> receiveBody(int fd, double deadline, const Clock& clock)
{
    const auto prefix = receive(fd, kLengthPrefixBytes, deadline, clock);
    if (!prefix) {
        return std::nullopt;
    }
    const std::uint32_t length = readLengthPrefix(*prefix);
    if (length == 0 || length > kMaximumRequestBodyBytes) {
        return std::nullopt;
    }
    return receive(fd, length, deadline, clock);
}

bool sendReply(int fd, std::string_view reply, double deadline, std::size_t maximum, const Clock& clock)
{
    if (!withinLimit(reply, maximum)) {
        return false;
    }
    // Prefix and body in one send: one call for a reply the socket takes whole.
    std::string framed = lengthPrefix(static_cast<std::uint32_t>(reply.size()));
    framed.append(reply);
    return sendBytes(fd, framed, deadline, clock);
}

} // namespace quorvantile::SensorTransport
