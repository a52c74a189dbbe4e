#pragma once

namespace quorvantile {

// Runs the settings application, which lives in a module loaded only for the setup command lines
// so that server processes never map the GUI libraries. Returns the process's exit status.
[[nodiscard]] int runSetupApplication(bool onDemand);

} // namespace quorvantile
