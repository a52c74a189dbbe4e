#pragma once

#include "common/Environment.h"
#include "common/Result.h"
#include "companion/StatusReporter.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvantile {

struct SensorSnapshot;

// The readers behind the requests.
struct RequestReaders {
    std::function<Result<SensorSnapshot>()> sensorSnapshot;
};

[[nodiscard]] RequestReaders systemRequestReaders(const SystemRoots& roots);

// The accepted connection a handler works on.
struct Connection {
    int fd = -1;
    double deadline = 0;
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
