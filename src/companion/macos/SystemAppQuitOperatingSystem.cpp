#include "companion/AppQuitOperatingSystem.h"
#include "companion/AppQuitProcess.h"
#include "companion/macos/RunningApplication.h"

#include <unistd.h>

namespace quorvantile {

std::int32_t SystemAppQuitOperatingSystem::currentProcessIdentifier() const { return getpid(); }

std::int32_t SystemAppQuitOperatingSystem::parentProcessIdentifier() const { return getppid(); }

std::uint32_t SystemAppQuitOperatingSystem::effectiveUserIdentifier() const { return geteuid(); }

std::optional<AppQuitProcessIdentity> SystemAppQuitOperatingSystem::process(std::int32_t pid)
{
    return liveProcessIdentity(*systemProcessTable(environment_.roots.proc), pid);
}

std::unique_ptr<AppQuitApplication> SystemAppQuitOperatingSystem::runningApplication(std::int32_t processIdentifier)
{
    return quorvantile::runningApplication(processIdentifier);
}

} // namespace quorvantile
