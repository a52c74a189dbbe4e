// The "appview1" reply's JSON form.
#include "FuzzSupport.h"
#include "common/JsonDecode.h"
#include "processes/ProcessInventorySnapshot.h"

using namespace quorvantile;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto record = json::decode<ProcessInventorySnapshot>(fuzzing::text(data, size));
    if (!record) {
        return 0;
    }
    fuzzing::requireRoundTrip(*record);
    if (record->isValid(record->uptime)) {
        for (const auto& reading : record->readings) {
            require(reading.isValid(), "every reading of a valid inventory is valid");
        }
    }
    return 0;
}
