#pragma once

#include "common/Json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
};

inline constexpr std::int64_t kMaximumAccessoryPercent = 100;

// The case whose text is exactly `text`; absent for any other text (case matters).
[[nodiscard]] std::optional<AccessoryBatteryReading::Transport> transportFromRawValue(std::string_view text);
[[nodiscard]] std::string_view rawValue(AccessoryBatteryReading::Transport transport);

void encodeFields(json::ObjectWriter& writer, const AccessoryBatteryReading& reading);
bool decodeValue(const json::Json& value, AccessoryBatteryReading& reading);

} // namespace quorvantile
