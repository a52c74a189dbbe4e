#include "processes/ProcessDetailHardware.h"

#include "common/Numbers.h"

#include <string>

namespace quorvantile::ProcessDetailHardware {
namespace {

bool hasIdentity(const ProcessBsdInfo& info, const ProcessDetailRequest& request, std::uint32_t euid)
{
    return info.pbi_pid == static_cast<std::uint32_t>(request.pid) && info.pbi_uid == euid &&
        info.pbi_start_tvsec == request.startSeconds && info.pbi_start_tvusec == request.startMicroseconds;
}

ProcessDetailReading read(const ProcessDetailRequest& request, ProcessTable& table)
{
    ProcessDetailReading reading;
    reading.request = request;

    ProcessBsdInfo identity {};
    if (table.bsdInfo(request.pid, identity) != kBsdInfoBytes ||
        !hasIdentity(identity, request, table.effectiveUid())) {
        return reading;
    }

    // Always all three samples, in this order, and judged only afterwards: a process that exits or
    // is replaced while it is sampled shows in the comparisons below.
    ProcessUsageInfo first {};
    const int firstResult = table.usageInfo(request.pid, first);
    ProcessTaskAllInfo task {};
    const int taskResult = table.taskAllInfo(request.pid, task);
    ProcessUsageInfo second {};
    const int secondResult = table.usageInfo(request.pid, second);

    const bool consistent = firstResult == 0 && secondResult == 0 && taskResult == kTaskAllInfoBytes &&
        hasIdentity(task.pbsd, request, table.effectiveUid()) && first.ri_proc_start_abstime != 0 &&
        first.ri_proc_start_abstime == second.ri_proc_start_abstime && first.ri_proc_exit_abstime == 0 &&
        second.ri_proc_exit_abstime == 0 && first.ri_uuid == second.ri_uuid && task.ptinfo.pti_threadnum >= 0;
    if (!consistent) {
        return reading;
    }

    reading.startAbsolute = first.ri_proc_start_abstime;
    reading.executableUUID = text::hexadecimal(second.ri_uuid);
    reading.physicalFootprint = second.ri_phys_footprint;
    reading.diskReadBytes = second.ri_diskio_bytesread;
    reading.diskWriteBytes = second.ri_diskio_byteswritten;
    reading.threads = task.ptinfo.pti_threadnum;
    return reading;
}

} // namespace

ProcessDetailSnapshot snapshot(std::span<const ProcessDetailRequest> requests, ProcessTable& table, const Clock& clock)
{
    std::vector<ProcessDetailReading> readings;
    readings.reserve(requests.size());
    for (const ProcessDetailRequest& request : requests) {
        readings.push_back(read(request, table));
    }
    return {.version = 1, .uptime = clock.uptime(), .readings = std::move(readings)};
}

ProcessDetailSnapshot snapshot(std::span<const ProcessDetailRequest> requests, const SystemRoots& roots)
{
    const auto table = systemProcessTable(roots.proc);
    return snapshot(requests, *table, systemClock());
}

} // namespace quorvantile::ProcessDetailHardware
