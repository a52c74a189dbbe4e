// The sysfs and cpuinfo values the sensor readers parse.
#include "FuzzSupport.h"
#include "sensors/linux/HidEventServiceClass.h"
#include "sensors/linux/HwmonSmc.h"
#include "sensors/linux/LinuxProcessorBrand.h"
#include "sensors/linux/PowerSupplyBatteryClass.h"
#include "sensors/linux/Sysfs.h"

#include <cmath>
#include <string>

using namespace quorvantile;
using fuzzing::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto text = fuzzing::text(data, size);
    if (const auto value = sysfs::parseInteger(text)) {
        require(sysfs::parseInteger(std::to_string(*value)) == value, "an integer reads back from its decimal");
    }
    (void)powersupply::parsePresent(text);
    const auto uevent = parseHidUevent(text);
    if (uevent.name) {
        require(uevent.name->size() <= size, "a name from the text");
    }
    (void)processorbrand::cpuinfoModelName(text);
    (void)processorbrand::appleSiliconBrand(text);
    for (const auto source : {SmcValueSource::rpm, SmcValueSource::millidegrees, SmcValueSource::tenthsOfDegree}) {
        if (const auto value = hwmonsmc::sourceValue(source, text)) {
            require(std::isfinite(*value), "a finite value");
        }
    }
    return 0;
}
