#pragma once

#include "common/Json.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace quorvantile {

// The identity of one process incarnation: its pid and its start time as the inventory reports it.
struct ProcessDetailRequest {
    std::int32_t pid = 0;
    std::uint64_t startSeconds = 0;
    std::uint64_t startMicroseconds = 0;

    // pid at least 1, a start time that is set and a microsecond part within a second.
    [[nodiscard]] bool isWellFormed() const;

    // A request body: a JSON array of 1 to 8 distinct, well-formed requests of at most 2,048 bytes.
    // Absent for anything else; the requests keep the order of the body.
    [[nodiscard]] static std::optional<std::vector<ProcessDetailRequest>> decode(std::string_view body);

    bool operator==(const ProcessDetailRequest&) const = default;

    QUORVANTILE_JSON_FIELDS(ProcessDetailRequest, pid, startSeconds, startMicroseconds)
};

} // namespace quorvantile

// Combines pid, start seconds and start microseconds, in that order.
template<> struct std::hash<quorvantile::ProcessDetailRequest> {
    std::size_t operator()(const quorvantile::ProcessDetailRequest& request) const noexcept;
};
