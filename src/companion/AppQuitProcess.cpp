#include "companion/AppQuitProcess.h"

namespace quorvantile {

std::optional<AppQuitProcessIdentity> liveProcessIdentity(ProcessTable& table, std::int32_t pid)
{
    if (pid < 1) {
        return std::nullopt;
    }
    ProcessBsdInfo info;
    if (table.bsdInfo(pid, info) != kBsdInfoBytes || info.pbi_pid != static_cast<std::uint32_t>(pid) ||
        info.pbi_status == kProcessStatusZombie) {
        return std::nullopt;
    }
    return AppQuitProcessIdentity {pid, info.pbi_start_tvsec, info.pbi_start_tvusec, info.pbi_uid};
}

} // namespace quorvantile
