// The "snapshot" reply as a client decodes it.
#include "FuzzSupport.h"
#include "common/JsonDecode.h"
#include "sensors/SensorSnapshot.h"

using namespace quorvantile;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto bytes = fuzzing::text(data, size);
    const auto record = json::decode<SensorSnapshot>(bytes);
    if (!record) {
        return 0;
    }
    fuzzing::requireRoundTrip(*record);
    // Checked decoding at the moment the snapshot claims to be from: accepted exactly when valid.
    const auto checked = SensorSnapshot::decode(bytes, record->uptime);
    require(checked.has_value() == (record->isValid(record->uptime) && size <= 16384), "checked decoding");
    if (checked) {
        require(*checked == *record, "checked decoding gives the same record");
        require(checked->version == 1 && checked->model.size() <= 128, "a valid snapshot's header and model");
    }
    return 0;
}
