#include "processes/ProcessDetailSnapshot.h"

namespace quorvantile {

void encodeFields(json::ObjectWriter& writer, const ProcessDetailReading& reading)
{
    writer.field("request", reading.request)
        .field("startAbsolute", reading.startAbsolute)
        .field("executableUUID", reading.executableUUID)
        .field("physicalFootprint", reading.physicalFootprint)
        .field("diskReadBytes", reading.diskReadBytes)
        .field("diskWriteBytes", reading.diskWriteBytes)
        .field("threads", reading.threads);
}

bool decodeValue(const json::Json& value, ProcessDetailReading& reading)
{
    return json::ObjectReader(value)
        .required("request", reading.request)
        .optional("startAbsolute", reading.startAbsolute)
        .optional("executableUUID", reading.executableUUID)
        .optional("physicalFootprint", reading.physicalFootprint)
        .optional("diskReadBytes", reading.diskReadBytes)
        .optional("diskWriteBytes", reading.diskWriteBytes)
        .optional("threads", reading.threads)
        .ok();
}

void encodeFields(json::ObjectWriter& writer, const ProcessDetailSnapshot& snapshot)
{
    writer.field("version", snapshot.version).field("uptime", snapshot.uptime).field("readings", snapshot.readings);
}

bool decodeValue(const json::Json& value, ProcessDetailSnapshot& snapshot)
{
    return json::ObjectReader(value)
        .required("version", snapshot.version)
        .required("uptime", snapshot.uptime)
        .required("readings", snapshot.readings)
        .ok();
}

} // namespace quorvantile
