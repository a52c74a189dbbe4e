#include "companion/SocketOptions.h"

#include <sys/socket.h>

namespace quorvantile::SensorTransport {

// Linux has no per-socket switch: every send passes MSG_NOSIGNAL and the server ignores SIGPIPE.
bool preventSigpipe(int /*fd*/) { return true; }

// Both flags come with the descriptor itself, so there is no moment without them.
UniqueFd streamSocket() { return UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)); }

UniqueFd acceptConnection(int listener)
{
    return UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
}

} // namespace quorvantile::SensorTransport
