#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "companion/PeerCodeSignature.h"
#include "companion/RequestHandlers.h"

#include <unistd.h>

#include <functional>
#include <memory>
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

// Everything the server reaches outside itself. systemServerPorts gives the real system's.
struct ServerPorts {
    const Clock* clock = &systemClock();
    // Owned here, so that its cache of verified peers lives as long as the server.
    std::shared_ptr<PeerCodeSignature> signatures;
    std::function<std::optional<std::string>()> container;
    RequestReaders readers;
    int controlFd = STDIN_FILENO;
    int outputFd = STDOUT_FILENO;
    int reasonFd = STDERR_FILENO; // where the diagnostics modes explain failures
    double idleSeconds = kIdleSeconds;
};

[[nodiscard]] ServerPorts systemServerPorts(const Environment& environment);

// How a server run ended. The entry turns it into the exit status: 0 for the first two, else 1.
struct ServerOutcome {
    enum class End { orderly, alreadyRunning, startUpFailed, statusLineFailed };
    End end = End::orderly;
    std::string reason; // for the two failures: what failed, in a few words

    [[nodiscard]] bool succeeded() const { return end == End::orderly || end == End::alreadyRunning; }
};

// The whole server: claims the lock, listens, serves one connection at a time until it decides to
// stop, and cleans up. A failed status line ends the run at once: the parent must never read a
// partial or missing status.
[[nodiscard]] ServerOutcome runServer(const ServeFlags& flags, const ServerPorts& ports);

} // namespace quorvantile
