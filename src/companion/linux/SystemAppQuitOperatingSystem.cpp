#include "companion/AppQuitOperatingSystem.h"
#include "companion/linux/RunningApplication.h"
#include "processes/linux/ProcfsProcessTable.h"

#include <unistd.h>

namespace quorvantile {

std::int32_t SystemAppQuitOperatingSystem::currentProcessIdentifier() const { return getpid(); }

std::uint32_t SystemAppQuitOperatingSystem::effectiveUserIdentifier() const { return geteuid(); }

std::optional<AppQuitProcessIdentity> SystemAppQuitOperatingSystem::process(std::int32_t pid)
{
    if (pid < 1) {
        return std::nullopt;
    }
    // A fresh table per reading: each reading takes its own boot time, as the process readers do.
    ProcfsProcessTable table(environment_.roots.proc);
    ProcessBsdInfo info;
    if (table.bsdInfo(pid, info) != kBsdInfoBytes || info.pbi_pid != static_cast<std::uint32_t>(pid) ||
        info.pbi_status == kProcessStatusZombie) {
        return std::nullopt;
    }
    return AppQuitProcessIdentity {pid, info.pbi_start_tvsec, info.pbi_start_tvusec, info.pbi_uid};
}

std::unique_ptr<AppQuitApplication> SystemAppQuitOperatingSystem::runningApplication(std::int32_t processIdentifier)
{
    return lookUpRunningApplication(processIdentifier, systemRunningApplicationSources(environment_));
}

} // namespace quorvantile
