#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
// makes the reporter fail: it writes nothing more, and its owner ends the run (status 1).
//
// When enabled it also explains failures (why a reader gave nothing, why the start failed) as one
// line each on `reasonFd`, apart from the status lines, which keep their fixed form.
class StatusReporter {
public:
    StatusReporter(int fd, bool enabled, int reasonFd = -1) : fd_(fd), reasonFd_(reasonFd), enabled_(enabled) { }
    // False when the line could not be written (or an earlier one could not).
    bool report(const StatusLine& line) const;
    // Writes "quorvantile-sensors: <reason>" when enabled; a reason that cannot be written is lost.
    void explain(std::string_view reason) const;
    [[nodiscard]] bool enabled() const { return enabled_; }
    [[nodiscard]] bool failed() const { return failed_; }

private:
    int fd_;
    int reasonFd_;
    bool enabled_;
    mutable bool failed_ = false;
};

} // namespace quorvantile
