#pragma once

#include "setup/SetupError.h"
#include "setup/Task.h"

namespace quorvantile::setup {

// Whether the application is started at login.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

// Registers the application as a login item.
class SensorCompanionLoginControlling {
public:
    virtual ~SensorCompanionLoginControlling() = default;

    // Read afresh on every call.
    [[nodiscard]] virtual LoginItemStatus status() const = 0;
    // Registers (true) or unregisters (false); the platform's error passes through unchanged.
    virtual Task<Outcome> setEnabled(bool enabled) = 0;
    // Shows the user where login items are managed; nothing is reported back.
    virtual void openSettings() = 0;
};

} // namespace quorvantile::setup
