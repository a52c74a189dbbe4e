#pragma once

#include "common/Json.h"
#include "processes/ProcessDetailRequest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
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

    static constexpr auto jsonFields()
    {
        return std::tuple {json::field("request", &ProcessDetailReading::request),
            json::field("startAbsolute", &ProcessDetailReading::startAbsolute),
            json::field("executableUUID", &ProcessDetailReading::executableUUID),
            json::field("physicalFootprint", &ProcessDetailReading::physicalFootprint),
            json::field("diskReadBytes", &ProcessDetailReading::diskReadBytes),
            json::field("diskWriteBytes", &ProcessDetailReading::diskWriteBytes),
            json::field("threads", &ProcessDetailReading::threads)};
    }
};

// One reading per request, in the order of the requests.
struct ProcessDetailSnapshot {
    std::int64_t version = 1;
    double uptime = 0; // system uptime after the last reading
    std::vector<ProcessDetailReading> readings;

    bool operator==(const ProcessDetailSnapshot&) const = default;

    static constexpr auto jsonFields()
    {
        return std::tuple {json::field("version", &ProcessDetailSnapshot::version),
            json::field("uptime", &ProcessDetailSnapshot::uptime),
            json::field("readings", &ProcessDetailSnapshot::readings)};
    }
};

} // namespace quorvantile
