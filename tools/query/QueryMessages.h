#pragma once

#include "QueryClient.h"

#include <string>
#include <string_view>

// Every error line of the query tool, in one place: what went wrong, then what to try.
namespace quorvantile::query::messages {

[[nodiscard]] std::string failure(const Failure& failure, std::string_view socketPath, double timeoutSeconds);
[[nodiscard]] std::string noGroupContainer();
[[nodiscard]] std::string unreadableReply(std::string_view request);
[[nodiscard]] std::string invalidJson();
[[nodiscard]] std::string unreadableBody();
[[nodiscard]] std::string cannotWrite();

// "quorvantile-sensors-query: " + message + line feed.
[[nodiscard]] std::string errorLine(std::string_view message);
// A wrong command line: the message and a pointer to --help.
[[nodiscard]] std::string usageLine(std::string_view message);

} // namespace quorvantile::query::messages
