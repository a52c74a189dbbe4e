#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "common/Result.h"
#include "companion/StatusReporter.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorvantile {

struct SensorSnapshot;
struct AccessoryBatterySnapshot;
struct ProcessInventorySnapshot;
struct ProcessDetailSnapshot;
struct ProcessDetailRequest;
struct AppQuitRequest;

// The readers behind the requests.
struct RequestReaders {
    std::function<Result<SensorSnapshot>()> sensorSnapshot;
    std::function<ProcessDetailSnapshot(std::span<const ProcessDetailRequest>)> processDetails;
    std::function<Result<ProcessInventorySnapshot>(std::int32_t preferredPID)> processInventory;
    // Sources it must ask (the system bus) give up at `deadline`, the connection's, in uptime seconds.
    std::function<Result<AccessoryBatterySnapshot>(double deadline)> accessoryBatteries;
    // Performs a decoded quit request of the peer `requester`; whether the application was asked to quit.
    std::function<bool(const AppQuitRequest&, std::int32_t requester)> quitApplication;
    // Lets go of what the readers keep from one request to the next once it has gone unused for a
    // while. Called with the uptime after every connection and when the uptime it last returned has
    // come; returns when to call it again (infinity: only after the next connection). May be empty.
    std::function<double(double now)> rest;
};

[[nodiscard]] RequestReaders systemRequestReaders(const Environment& environment);

// The accepted connection a handler works on.
struct Connection {
    int fd = -1;
    double deadline = 0;
    const Clock* clock = &systemClock();
};

// Reply bytes for the loop to send, with the largest size allowed for this request.
struct Reply {
    std::string bytes;
    std::size_t maximum = 0;
};

// Runs the handler of `requestLine` (one of the five constants); absent when the connection is to
// be closed without a reply. Writes the handler's status lines through `reporter`.
[[nodiscard]] std::optional<Reply> handleRequest(std::string_view requestLine, const Connection& connection,
    const RequestReaders& readers, const StatusReporter& reporter);

// The line written when a request is refused.
void reportRefusal(const StatusReporter& reporter);

} // namespace quorvantile
