#pragma once

#include "common/Json.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quorvantile {

// The charge of one accessory, as the "battery1" reply lists it.
struct AccessoryBatteryReading {
    // How the accessory is connected; its JSON form and the registry's "Transport" text are the same.
    enum class Transport { bluetooth, bluetoothLowEnergy, usb };

    std::uint64_t registryID = 0;
    std::string name;
    Transport transport = Transport::bluetooth;
    std::optional<std::int64_t> percent;

    // Non-zero id; a name that is not blank, at most 128 bytes, without control characters; a percent
    // that is absent or within 0 … 100.
    [[nodiscard]] bool isValid() const;

    bool operator==(const AccessoryBatteryReading&) const = default;

    QUORVANTILE_JSON_FIELDS(AccessoryBatteryReading, registryID, name, transport, percent)
};

inline constexpr std::int64_t kMaximumAccessoryPercent = 100;

// "Bluetooth", "BluetoothLowEnergy" and "USB".
[[nodiscard]] std::span<const std::pair<AccessoryBatteryReading::Transport, std::string_view>> jsonTexts(
    AccessoryBatteryReading::Transport);

} // namespace quorvantile
