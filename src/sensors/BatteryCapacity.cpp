#include "sensors/BatteryCapacity.h"

#include "sensors/SensorLimits.h"

namespace quorvantile {

bool BatteryCapacity::isPlausible() const
{
    return designMilliampHours >= kMinimumDesignMilliampHours && designMilliampHours <= kMaximumDesignMilliampHours &&
        fullChargeMilliampHours != 0 && fullChargeMilliampHours <= 2 * designMilliampHours;
}

} // namespace quorvantile
