#pragma once

#include "common/Clock.h"
#include "common/Environment.h"
#include "companion/PeerCodeSignature.h"

#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The wire protocol between the companion and its parent: one 9-byte request line, for two
// requests a length-prefixed JSON body, and one length-prefixed JSON reply per connection.
namespace quorvantile::SensorTransport {

inline constexpr std::string_view request = "snapshot\n";
inline constexpr std::string_view processRequest = "process1\n";
inline constexpr std::string_view inventoryRequest = "appview1\n";
inline constexpr std::string_view accessoryBatteryRequest = "battery1\n";
inline constexpr std::string_view quitRequest = "quitapp1\n";

inline constexpr std::size_t kRequestLineBytes = 9;
inline constexpr std::size_t kLengthPrefixBytes = 4;
inline constexpr std::uint32_t kMaximumRequestBodyBytes = 2048;
inline constexpr std::size_t kMaximumReplyBytes = 16384;
inline constexpr std::size_t kMaximumInventoryReplyBytes = 262144;
// The protocol's own limit, kept on every platform so that both ends agree on usable paths.
inline constexpr std::size_t kMaximumSocketPathBytes = 103;
// One poll never waits longer than this, whatever the deadline.
inline constexpr int kMaximumPollMilliseconds = 15000;

inline constexpr std::string_view kTeamIdentifier = "7Q4KX2M8PZ";
inline constexpr std::string_view kParentIdentifier = "com.zembo.quorvantile";
inline constexpr std::string_view kCompanionIdentifier = "com.zembo.quorvantile.sensors";

// The socket address of `path`; absent when the path holds a zero byte or is longer than 103 bytes.
[[nodiscard]] std::optional<sockaddr_un> address(std::string_view path);

// The requirement a trusted peer's code must satisfy.
[[nodiscard]] std::string requirementText(std::string_view identifier);

// Whether the peer on `fd` is `identifier`, signed by the maker's team, and runs as this user. The
// first form asks a new system implementation (without the cache a server keeps) over /proc.
[[nodiscard]] bool trustedPeer(int fd, std::string_view identifier);
[[nodiscard]] bool trustedPeer(int fd, std::string_view identifier, PeerCodeSignature& signatures);

// Non-blocking, close-on-exec and, where the platform has the option, no SIGPIPE (see
// SocketOptions.h; every send passes MSG_NOSIGNAL as well).
[[nodiscard]] bool configureSocket(int fd);

// True when `fd` reports one of `events` before `deadline` (system-uptime seconds).
[[nodiscard]] bool wait(int fd, short events, double deadline, const Clock& clock = systemClock());

// Writes all of `data` before `deadline`; `maximum` must be 16,384 or 262,144 and bounds the size.
[[nodiscard]] bool send(
    int fd, std::string_view data, double deadline, std::size_t maximum, const Clock& clock = systemClock());

// Reads exactly `count` bytes before `deadline`.
[[nodiscard]] std::optional<std::string> receive(
    int fd, std::size_t count, double deadline, const Clock& clock = systemClock());

// Reads a 4-byte big-endian length N (1 to 2,048) and then N bytes.
[[nodiscard]] std::optional<std::string> receiveBody(int fd, double deadline, const Clock& clock = systemClock());

// Writes the 4-byte big-endian length of `reply`, then `reply`, bounded by `maximum`.
[[nodiscard]] bool sendReply(
    int fd, std::string_view reply, double deadline, std::size_t maximum, const Clock& clock = systemClock());

// The 4-byte big-endian length prefix of the protocol.
[[nodiscard]] std::string lengthPrefix(std::uint32_t length);
[[nodiscard]] std::uint32_t readLengthPrefix(std::string_view fourBytes);

} // namespace quorvantile::SensorTransport
