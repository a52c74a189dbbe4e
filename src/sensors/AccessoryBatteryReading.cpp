#include "sensors/AccessoryBatteryReading.h"

#include "common/Text.h"

#include <array>
#include <utility>

namespace quorvantile {
namespace {

using Transport = AccessoryBatteryReading::Transport;

constexpr std::array<std::pair<Transport, std::string_view>, 3> kTransportTexts {{
    {Transport::bluetooth, "Bluetooth"},
    {Transport::bluetoothLowEnergy, "BluetoothLowEnergy"},
    {Transport::usb, "USB"},
}};

} // namespace

std::optional<Transport> transportFromRawValue(std::string_view text)
{
    for (const auto& [transport, transportText] : kTransportTexts) {
        if (transportText == text) {
            return transport;
        }
    }
    return std::nullopt;
}

std::string_view rawValue(Transport transport)
{
    for (const auto& [candidate, transportText] : kTransportTexts) {
        if (candidate == transport) {
            return transportText;
        }
    }
    return {}; // not reached for a value of the enumeration
}

bool AccessoryBatteryReading::isValid() const
{
    if (registryID == 0) {
        return false;
    }
    // Blank covers the empty name; invalid UTF-8 counts as not blank and fails the control check.
    if (text::isBlank(name)) {
        return false;
    }
    if (name.size() > text::kMaximumNameBytes) {
        return false;
    }
    if (text::containsControlCharacters(name)) {
        return false;
    }
    return !percent || (*percent >= 0 && *percent <= kMaximumAccessoryPercent);
}

void encodeFields(json::ObjectWriter& writer, const AccessoryBatteryReading& reading)
{
    writer.field("registryID", reading.registryID)
        .field("name", reading.name)
        .field("transport", std::string(rawValue(reading.transport)))
        .field("percent", reading.percent);
}

bool decodeValue(const json::Json& value, AccessoryBatteryReading& reading)
{
    std::string transportText;
    const bool fieldsRead = json::ObjectReader(value)
                                .required("registryID", reading.registryID)
                                .required("name", reading.name)
                                .required("transport", transportText)
                                .optional("percent", reading.percent)
                                .ok();
    if (!fieldsRead) {
        return false;
    }
    const auto transport = transportFromRawValue(transportText);
    if (!transport) {
        return false;
    }
    reading.transport = *transport;
    return true;
}

} // namespace quorvantile
