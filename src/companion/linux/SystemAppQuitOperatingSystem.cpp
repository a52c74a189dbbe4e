#include "companion/AppQuitOperatingSystem.h"
#include "companion/AppQuitProcess.h"
#include "companion/linux/RunningApplication.h"
#include "processes/linux/ProcfsProcessTable.h"

#include <unistd.h>

namespace quorvantile {

std::int32_t SystemAppQuitOperatingSystem::currentProcessIdentifier() const { return getpid(); }

std::uint32_t SystemAppQuitOperatingSystem::effectiveUserIdentifier() const { return geteuid(); }

std::optional<AppQuitProcessIdentity> SystemAppQuitOperatingSystem::process(std::int32_t pid)
{
    // A fresh table per reading: each reading takes its own boot time, as the process readers do.
    ProcfsProcessTable table(environment_.roots.proc);
    return liveProcessIdentity(table, pid);
}

std::unique_ptr<AppQuitApplication> SystemAppQuitOperatingSystem::runningApplication(std::int32_t processIdentifier)
{
    return lookUpRunningApplication(processIdentifier, systemRunningApplicationSources(environment_));
}

} // namespace quorvantile
