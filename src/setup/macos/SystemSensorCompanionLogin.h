#pragma once

#include "setup/SensorCompanionLoginControlling.h"

#include <memory>

namespace quorvantile::setup {

// The login item of the main application through the platform's app service. On the main thread.
[[nodiscard]] std::shared_ptr<SensorCompanionLoginControlling> appServiceLogin();

} // namespace quorvantile::setup
