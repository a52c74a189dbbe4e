#pragma once

#include "common/Json.h"

#include <cstdint>
#include <string>
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

    QUORVANTILE_JSON_FIELDS(
        ProcessInventoryReading, pid, name, startSeconds, startMicroseconds, userTicks, systemTicks, residentBytes)
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

    QUORVANTILE_JSON_FIELDS(ProcessInventorySnapshot, version, uptime, uid, incomplete, readings)
};

} // namespace quorvantile
