#pragma once

#include "setup/ChildLauncher.h"

#include <memory>

namespace quorvantile::setup {

// Starts the server child with posix_spawn and watches it through a kqueue.
[[nodiscard]] std::shared_ptr<ChildLauncher> kqueueChildLauncher();

} // namespace quorvantile::setup
