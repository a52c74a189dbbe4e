#include "sensors/BatteryCapacity.h"

#include "sensors/SensorLimits.h"

namespace quorvantile {

bool BatteryCapacity::isPlausible() const
{
    return designMilliampHours >= kMinimumDesignMilliampHours && designMilliampHours <= kMaximumDesignMilliampHours &&
        fullChargeMilliampHours != 0 && fullChargeMilliampHours <= 2 * designMilliampHours;
}

void encodeFields(json::ObjectWriter& writer, const BatteryCapacity& capacity)
{
    writer.field("designMilliampHours", capacity.designMilliampHours)
        .field("fullChargeMilliampHours", capacity.fullChargeMilliampHours);
}

bool decodeValue(const json::Json& value, BatteryCapacity& capacity)
{
    return json::ObjectReader(value)
        .required("designMilliampHours", capacity.designMilliampHours)
        .required("fullChargeMilliampHours", capacity.fullChargeMilliampHours)
        .ok();
}

} // namespace quorvantile
