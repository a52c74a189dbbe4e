// The "battery1" reply's JSON form.
#include "FuzzSupport.h"
#include "common/JsonDecode.h"
#include "sensors/AccessoryBatterySnapshot.h"

#include <set>

using namespace quorvantile;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto record = json::decode<AccessoryBatterySnapshot>(fuzzing::text(data, size));
    if (!record) {
        return 0;
    }
    fuzzing::requireRoundTrip(*record);
    if (record->isValid(record->uptime)) {
        require(record->readings.size() <= kMaximumAccessoryReadings, "at most 32 readings");
        std::set<std::uint64_t> ids;
        for (const auto& reading : record->readings) {
            require(reading.isValid(), "every reading of a valid snapshot is valid");
            require(ids.insert(reading.registryID).second, "distinct ids");
        }
    }
    return 0;
}
