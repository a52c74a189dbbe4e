#include "sensors/SensorReading.h"

namespace quorvantile {

SensorReading::Unit unitForKey(std::string_view key)
{
    return key.starts_with('F') ? SensorReading::Unit::rpm : SensorReading::Unit::celsius;
}

json::Json encodeValue(SensorReading::Unit unit) { return unit == SensorReading::Unit::rpm ? "rpm" : "celsius"; }

bool decodeValue(const json::Json& value, SensorReading::Unit& unit)
{
    if (!value.is_string()) {
        return false;
    }
    const auto& text = value.get_ref<const std::string&>();
    if (text == "celsius") {
        unit = SensorReading::Unit::celsius;
        return true;
    }
    if (text == "rpm") {
        unit = SensorReading::Unit::rpm;
        return true;
    }
    return false;
}

void encodeFields(json::ObjectWriter& writer, const SensorReading& reading)
{
    writer.field("key", reading.key).field("unit", reading.unit).field("value", reading.value);
}

bool decodeValue(const json::Json& value, SensorReading& reading)
{
    return json::ObjectReader(value)
        .required("key", reading.key)
        .required("unit", reading.unit)
        .optional("value", reading.value)
        .ok();
}

} // namespace quorvantile
