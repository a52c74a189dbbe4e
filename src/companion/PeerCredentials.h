#pragma once

#include <sys/types.h>

#include <optional>

namespace quorvantile {

// Who is at the other end of a connected UNIX-domain socket, as the kernel recorded it at connect.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

[[nodiscard]] std::optional<PeerCredentials> peerCredentials(int fd);

} // namespace quorvantile
