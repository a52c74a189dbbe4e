#pragma once

#include "common/UniqueFd.h"
#include "setup/ChildLauncher.h"

#include <memory>
#include <string>
#include <vector>

namespace quorvantile::setup {

// Starts the server child with launchChild and watches it through a pidfd. `executable` comes from
// openExecutable, opened once, so that every start runs that very file even after its path was
// replaced; the `executable` string given to launch() is only the child's argv[0]. `environment`
// is the child's environment ("NAME=value" entries), copied once here.
[[nodiscard]] std::shared_ptr<ChildLauncher> pidfdChildLauncher(
    UniqueFd executable, std::vector<std::string> environment);

} // namespace quorvantile::setup
