#pragma once

#include "common/Clock.h"
#include "companion/PeerCodeSignature.h"
#include "companion/RequestHandlers.h"

#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

namespace quorvantile {

// An on-demand server ends this long after its start or its last complete reply.
inline constexpr double kIdleSeconds = 15.0;
// Each connection is served within this long after it was accepted.
inline constexpr double kConnectionSeconds = 0.75;
inline constexpr int kListenBacklog = 4;

struct ServeFlags {
    bool logging = false;
    bool persistent = false;
    bool controlled = false;
};

// Everything the server reaches outside itself. The defaults are the real system.
struct ServerPorts {
    const Clock* clock = &systemClock();
    PeerCodeSignature* signatures = &systemPeerCodeSignature();
    std::function<std::optional<std::string>()> container;
    RequestReaders readers;
    int controlFd = STDIN_FILENO;
    int outputFd = STDOUT_FILENO;
    double idleSeconds = kIdleSeconds;
};

[[nodiscard]] ServerPorts systemServerPorts();

// The whole server: claims the lock, listens, serves one connection at a time until it decides to
// stop, and cleans up. Start-up failures and failed status lines end the process with status 1.
void runServer(const ServeFlags& flags, const ServerPorts& ports);

} // namespace quorvantile
