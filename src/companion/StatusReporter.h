#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quorvantile {

// One status line: text keys with Boolean, integer or text values.
using StatusValue = std::variant<bool, std::int64_t, std::string>;
using StatusLine = std::vector<std::pair<std::string, StatusValue>>;

// The line's JSON: keys sorted, no white space, every "/" written as "\/". No line feed.
[[nodiscard]] std::optional<std::string> formatStatusLine(const StatusLine& line);

// Writes status lines to one descriptor when enabled. A line that cannot be formatted or written
// ends the process with status 1: the parent must never read a partial or missing status.
class StatusReporter {
public:
    StatusReporter(int fd, bool enabled) : fd_(fd), enabled_(enabled) { }
    void report(const StatusLine& line) const;
    [[nodiscard]] bool enabled() const { return enabled_; }

private:
    int fd_;
    bool enabled_;
};

} // namespace quorvantile
