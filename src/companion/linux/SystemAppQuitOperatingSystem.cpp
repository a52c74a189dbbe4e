#include "common/linux/MountTable.h"
#include "companion/AppQuitOperatingSystem.h"
#include "companion/AppQuitProcess.h"
#include "companion/linux/RunningApplication.h"
#include "processes/linux/ProcfsProcessTable.h"

#include <unistd.h>

namespace quorvantile {

std::int32_t SystemAppQuitOperatingSystem::currentProcessIdentifier() const { return getpid(); }

std::int32_t SystemAppQuitOperatingSystem::parentProcessIdentifier() const { return getppid(); }

std::uint32_t SystemAppQuitOperatingSystem::effectiveUserIdentifier() const { return geteuid(); }

std::optional<AppQuitProcessIdentity> SystemAppQuitOperatingSystem::process(std::int32_t pid)
{
    // A fresh table per reading: each reading takes its own boot time, as the process readers do.
    ProcfsProcessTable table("/proc");
    return liveProcessIdentity(table, pid);
}

std::unique_ptr<AppQuitApplication> SystemAppQuitOperatingSystem::runningApplication(std::int32_t processIdentifier)
{
    mounts::MountTable mounts; // quits are rare: read for each, not kept
    return lookUpRunningApplication(processIdentifier, systemRunningApplicationSources(environment_), mounts);
}

} // namespace quorvantile
