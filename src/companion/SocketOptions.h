#pragma once

#include "common/UniqueFd.h"

// The socket options that differ between the platforms, behind the portable transport and loop.
namespace quorvantile::SensorTransport {

// Keeps a write to a peer that has gone from raising SIGPIPE on this socket, as the last of the
// options every socket of the server gets. Where the platform has no such option, every send
// passes MSG_NOSIGNAL instead and this does nothing.
[[nodiscard]] bool preventSigpipe(int fd);

// A new UNIX-domain stream socket, non-blocking, close-on-exec and without SIGPIPE; invalid on
// failure, with errno set.
[[nodiscard]] UniqueFd streamSocket();

// Accepts one connection of `listener`, non-blocking, close-on-exec and without SIGPIPE. Invalid on
// failure, with errno set; a connection that was accepted but could not be given its options is
// closed and reported as ECONNABORTED, so that the loop goes on to the next one.
[[nodiscard]] UniqueFd acceptConnection(int listener);

} // namespace quorvantile::SensorTransport
