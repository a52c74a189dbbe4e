#include "processes/ProcessInventorySnapshot.h"

#include "common/SnapshotHeader.h"
#include "common/Text.h"
#include "processes/ProcessLimits.h"

#include <unistd.h>

#include <algorithm>

namespace quorvantile {

bool ProcessInventoryReading::isValid() const
{
    return pid >= 1 && text::isValidName(name) && startSeconds != 0 && startMicroseconds < 1'000'000;
}

bool ProcessInventorySnapshot::isValid(double now) const
{
    return isValid(now, static_cast<std::uint32_t>(::geteuid()));
}

bool ProcessInventorySnapshot::isValid(double now, std::uint32_t effectiveUid) const
{
    if (!isValidSnapshotHeader(version, uptime, now) || uid != effectiveUid ||
        readings.size() > kMaximumInventoryReadings) {
        return false;
    }
    if (!std::all_of(readings.begin(), readings.end(), [](const auto& reading) { return reading.isValid(); })) {
        return false;
    }
    std::vector<std::int32_t> pids;
    pids.reserve(readings.size());
    for (const auto& reading : readings) {
        pids.push_back(reading.pid);
    }
    std::sort(pids.begin(), pids.end());
    return std::adjacent_find(pids.begin(), pids.end()) == pids.end();
}

void encodeFields(json::ObjectWriter& writer, const ProcessInventoryReading& reading)
{
    writer.field("pid", reading.pid)
        .field("name", reading.name)
        .field("startSeconds", reading.startSeconds)
        .field("startMicroseconds", reading.startMicroseconds)
        .field("userTicks", reading.userTicks)
        .field("systemTicks", reading.systemTicks)
        .field("residentBytes", reading.residentBytes);
}

bool decodeValue(const json::Json& value, ProcessInventoryReading& reading)
{
    return json::ObjectReader(value)
        .required("pid", reading.pid)
        .required("name", reading.name)
        .required("startSeconds", reading.startSeconds)
        .required("startMicroseconds", reading.startMicroseconds)
        .required("userTicks", reading.userTicks)
        .required("systemTicks", reading.systemTicks)
        .required("residentBytes", reading.residentBytes)
        .ok();
}

void encodeFields(json::ObjectWriter& writer, const ProcessInventorySnapshot& snapshot)
{
    writer.field("version", snapshot.version)
        .field("uptime", snapshot.uptime)
        .field("uid", snapshot.uid)
        .field("incomplete", snapshot.incomplete)
        .field("readings", snapshot.readings);
}

bool decodeValue(const json::Json& value, ProcessInventorySnapshot& snapshot)
{
    return json::ObjectReader(value)
        .required("version", snapshot.version)
        .required("uptime", snapshot.uptime)
        .required("uid", snapshot.uid)
        .required("incomplete", snapshot.incomplete)
        .required("readings", snapshot.readings)
        .ok();
}

} // namespace quorvantile
