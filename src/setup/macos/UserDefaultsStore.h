#pragma once

#include "setup/DefaultsStore.h"

#include <memory>

namespace quorvantile::setup {

// The standard user defaults of the application.
[[nodiscard]] std::shared_ptr<DefaultsStore> userDefaultsStore();

} // namespace quorvantile::setup
