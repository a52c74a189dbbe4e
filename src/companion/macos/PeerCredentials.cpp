// The peer of a connected UNIX-domain socket: its user and group from getpeereid, its process id
// from LOCAL_PEERPID.
#include "companion/PeerCredentials.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvantile {

// The socket address the transport fills (sun_len, sun_family, 104 bytes of path).
static_assert(sizeof(sockaddr_un) == 106);

std::optional<PeerCredentials> peerCredentials(int fd)
{
    PeerCredentials credentials;
    if (getpeereid(fd, &credentials.uid, &credentials.gid) != 0) {
        return std::nullopt;
    }
    pid_t pid = 0;
    socklen_t length = sizeof pid;
    if (getsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &pid, &length) != 0 || length != sizeof pid) {
        return std::nullopt;
    }
    credentials.pid = pid;
    return credentials;
}

} // namespace quorvantile
