#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

// The client side of the companion's socket protocol: one request per connection, one
// length-prefixed JSON reply.
namespace quorvantile::query {

struct RequestKind {
    std::string_view name; // what a person types: "snapshot", "inventory", …
    std::string_view line; // the 9-byte request line
    bool hasBody = false; // followed by a length-prefixed JSON body
    std::size_t maximumReplyBytes = 0;
};

// Looks a request up by its name or by its request line without the line feed ("appview1").
[[nodiscard]] std::optional<RequestKind> requestNamed(std::string_view name);
[[nodiscard]] std::string_view requestNames(); // for help texts

// Why no reply came, for callers that explain it in their own words.
enum class FailureReason {
    notListening, // no socket, or nobody accepts on it
    closed, // the companion closed the connection before its reply was complete
    timedOut,
    other,
};

struct Failure {
    std::string message; // one line, for people
    FailureReason reason = FailureReason::other;
};

using Outcome = std::variant<std::string, Failure>; // the reply's JSON bytes, or why there is none

// Connects to `socketPath`, sends the request (and `body` when the request has one) and reads the
// reply, all within `timeoutSeconds`.
[[nodiscard]] Outcome ask(
    const std::string& socketPath, const RequestKind& request, std::string_view body, double timeoutSeconds);

} // namespace quorvantile::query
