#include "sensors/AccessoryBatteryReading.h"

#include "common/Text.h"

#include <array>
#include <utility>

namespace quorvantile {

std::span<const std::pair<AccessoryBatteryReading::Transport, std::string_view>> jsonTexts(
    AccessoryBatteryReading::Transport)
{
    using Transport = AccessoryBatteryReading::Transport;
    static constexpr std::array<std::pair<Transport, std::string_view>, 3> kTransportTexts {{
        {Transport::bluetooth, "Bluetooth"},
        {Transport::bluetoothLowEnergy, "BluetoothLowEnergy"},
        {Transport::usb, "USB"},
    }};
    return kTransportTexts;
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

} // namespace quorvantile
