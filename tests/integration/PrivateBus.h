#pragma once

#include "CompanionProcess.h"
#include "common/JsonDecode.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>

namespace quorvantile::testing {

// A D-Bus daemon of the test's own standing for the system bus: its configuration and its socket
// in a temporary folder; killed and reaped when this goes away, on every path of a test.
class PrivateBus {
public:
    // Why the bus and its BlueZ stand-in cannot run on this machine (dbus-daemon or
    // python3-dbusmock missing); absent when they can.
    [[nodiscard]] static std::optional<std::string> unavailable();

    // With `bluezActivation`, the bus would start that command when a call to org.bluez asks it to.
    explicit PrivateBus(const std::string& bluezActivation = {});
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon did not start.
    [[nodiscard]] const std::string& address() const { return address_; }
    // The bus's own temporary folder, where a test may keep files.
    [[nodiscard]] const std::string& folder() const { return folder_.path(); }

    // BlueZ's stand-in on this bus serving `description` (tests/integration/bluez-stand-in says
    // how), once it serves; null when it did not get that far. Killed when the result goes away.
    [[nodiscard]] std::unique_ptr<ChildProcess> startBluez(const nlohmann::json& description) const;

private:
    TemporaryDirectory folder_;
    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
    mutable int descriptions_ = 0;
};

} // namespace quorvantile::testing
