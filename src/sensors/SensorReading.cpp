#include "sensors/SensorReading.h"

#include <array>

namespace quorvantile {

SensorReading::Unit unitForKey(std::string_view key)
{
    return key.starts_with('F') ? SensorReading::Unit::rpm : SensorReading::Unit::celsius;
}

std::span<const std::pair<SensorReading::Unit, std::string_view>> jsonTexts(SensorReading::Unit)
{
    static constexpr std::array<std::pair<SensorReading::Unit, std::string_view>, 2> kUnitTexts {{
        {SensorReading::Unit::celsius, "celsius"},
        {SensorReading::Unit::rpm, "rpm"},
    }};
    return kUnitTexts;
}

} // namespace quorvantile
