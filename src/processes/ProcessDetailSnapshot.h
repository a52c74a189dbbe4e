#pragma once

#include "common/Json.h"
#include "processes/ProcessDetailRequest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvantile {

// The details of one requested process: all six figures when the process was verified, none when it
// was not (gone, another identity or user, exited, or inconsistent samples).
struct ProcessDetailReading {
    ProcessDetailRequest request;
    std::optional<std::uint64_t> startAbsolute; // absolute-time units, unconverted
    std::optional<std::string> executableUUID; // 32 lowercase hexadecimal digits
    std::optional<std::uint64_t> physicalFootprint; // bytes
    std::optional<std::uint64_t> diskReadBytes;
    std::optional<std::uint64_t> diskWriteBytes;
    std::optional<std::int32_t> threads;

    bool operator==(const ProcessDetailReading&) const = default;

    QUORVANTILE_JSON_FIELDS(ProcessDetailReading, request, startAbsolute, executableUUID, physicalFootprint,
        diskReadBytes, diskWriteBytes, threads)
};

// One reading per request, in the order of the requests.
struct ProcessDetailSnapshot {
    std::int64_t version = 1;
    double uptime = 0; // system uptime after the last reading
    std::vector<ProcessDetailReading> readings;

    bool operator==(const ProcessDetailSnapshot&) const = default;

    QUORVANTILE_JSON_FIELDS(ProcessDetailSnapshot, version, uptime, readings)
};

} // namespace quorvantile
