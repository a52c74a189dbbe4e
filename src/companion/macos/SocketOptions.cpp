#include "companion/SocketOptions.h"

#include "companion/SensorTransport.h"

#include <sys/socket.h>

#include <cerrno>

namespace quorvantile::SensorTransport {

bool preventSigpipe(int fd)
{
    const int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) == 0;
}

// The platform has no accept4 or socket flags: the options follow the descriptor. Neither the server
// nor the query tool starts children, so none can inherit a descriptor in between.
UniqueFd streamSocket()
{
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (socket && !configureSocket(socket.get())) {
        const int error = errno;
        socket.reset();
        errno = error;
    }
    return socket;
}

UniqueFd acceptConnection(int listener)
{
    UniqueFd connection(accept(listener, nullptr, nullptr));
    if (connection && !configureSocket(connection.get())) {
        connection.reset();
        errno = ECONNABORTED; // the loop goes on to the next connection
    }
    return connection;
}

} // namespace quorvantile::SensorTransport
