#pragma once

#include "common/Json.h"

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace quorvantile {

// One process of the user: its identity (pid and start time), name, CPU times and resident memory.
struct ProcessInventoryReading {
    std::int32_t pid = 0;
    std::string name;
    std::uint64_t startSeconds = 0;
    std::uint64_t startMicroseconds = 0;
    std::uint64_t userTicks = 0; // raw task time, not converted
    std::uint64_t systemTicks = 0; // raw task time, not converted
    std::uint64_t residentBytes = 0;

    // pid at least 1, a valid name, a start time that is set and a microsecond part below a second.
    [[nodiscard]] bool isValid() const;

    bool operator==(const ProcessInventoryReading&) const = default;

    static constexpr auto jsonFields()
    {
        return std::tuple {json::field("pid", &ProcessInventoryReading::pid),
            json::field("name", &ProcessInventoryReading::name),
            json::field("startSeconds", &ProcessInventoryReading::startSeconds),
            json::field("startMicroseconds", &ProcessInventoryReading::startMicroseconds),
            json::field("userTicks", &ProcessInventoryReading::userTicks),
            json::field("systemTicks", &ProcessInventoryReading::systemTicks),
            json::field("residentBytes", &ProcessInventoryReading::residentBytes)};
    }
};

// The user's processes, ascending by pid.
struct ProcessInventorySnapshot {
    std::int64_t version = 1;
    double uptime = 0; // system uptime when the snapshot was finished
    std::uint32_t uid = 0; // the effective uid whose processes are listed
    bool incomplete = false; // the list may lack processes of this user
    std::vector<ProcessInventoryReading> readings;

    // Fresh at `now`, taken for the current effective uid, at most 512 valid readings with distinct
    // pids. The first form asks geteuid().
    [[nodiscard]] bool isValid(double now) const;
    [[nodiscard]] bool isValid(double now, std::uint32_t effectiveUid) const;

    bool operator==(const ProcessInventorySnapshot&) const = default;

    static constexpr auto jsonFields()
    {
        return std::tuple {json::field("version", &ProcessInventorySnapshot::version),
            json::field("uptime", &ProcessInventorySnapshot::uptime),
            json::field("uid", &ProcessInventorySnapshot::uid),
            json::field("incomplete", &ProcessInventorySnapshot::incomplete),
            json::field("readings", &ProcessInventorySnapshot::readings)};
    }
};

} // namespace quorvantile
