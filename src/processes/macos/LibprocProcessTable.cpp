// The process table over libproc. Every call answers with the platform's own result, which the
// readers check; the records are copied field by field into the port's.
#include "processes/ProcessTable.h"

#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quorvantile {
namespace {

// The record sizes the readers compare the calls' results with.
static_assert(sizeof(proc_bsdinfo) == 136 && kBsdInfoBytes == 136);
static_assert(sizeof(proc_taskallinfo) == 232 && kTaskAllInfoBytes == 232);
static_assert(sizeof(rusage_info_v2) == 160);
static_assert(sizeof(proc_bsdinfo::pbi_comm) == kCommBytes && sizeof(proc_bsdinfo::pbi_name) == kNameBytes);
static_assert(sizeof(rusage_info_v2::ri_uuid) == kUuidBytes);
static_assert(SZOMB == kProcessStatusZombie);

constexpr int kFailedRusage = -1;

void copyBsd(const proc_bsdinfo& from, ProcessBsdInfo& to)
{
    to.pbi_status = from.pbi_status;
    to.pbi_pid = from.pbi_pid;
    to.pbi_uid = from.pbi_uid;
    std::memcpy(to.pbi_comm.data(), from.pbi_comm, kCommBytes);
    std::memcpy(to.pbi_name.data(), from.pbi_name, kNameBytes);
    to.pbi_start_tvsec = from.pbi_start_tvsec;
    to.pbi_start_tvusec = from.pbi_start_tvusec;
}

class LibprocProcessTable final : public ProcessTable {
public:
    [[nodiscard]] int listPids(std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer) override
    {
        std::fill(buffer.begin(), buffer.end(), 0);
        return proc_listpids(PROC_UID_ONLY, uid, buffer.data(), static_cast<int>(buffer.size_bytes()));
    }

    [[nodiscard]] int bsdInfo(std::int32_t pid, ProcessBsdInfo& info) override
    {
        proc_bsdinfo record {};
        const int result = proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &record, sizeof record);
        copyBsd(record, info);
        return result;
    }

    [[nodiscard]] int taskAllInfo(std::int32_t pid, ProcessTaskAllInfo& info) override
    {
        proc_taskallinfo record {};
        const int result = proc_pidinfo(pid, PROC_PIDTASKALLINFO, 0, &record, sizeof record);
        copyBsd(record.pbsd, info.pbsd);
        // The CPU times stay in the platform's absolute-time units (mach_absolute_time ticks), as the
        // inventory hands them on unconverted.
        info.ptinfo.pti_resident_size = record.ptinfo.pti_resident_size;
        info.ptinfo.pti_total_user = record.ptinfo.pti_total_user;
        info.ptinfo.pti_total_system = record.ptinfo.pti_total_system;
        info.ptinfo.pti_threadnum = record.ptinfo.pti_threadnum;
        return result;
    }

    [[nodiscard]] int usageInfo(std::int32_t pid, ProcessUsageInfo& info) override
    {
        rusage_info_v2 record {};
        if (proc_pid_rusage(pid, RUSAGE_INFO_V2, reinterpret_cast<rusage_info_t*>(&record)) != 0) {
            return kFailedRusage;
        }
        std::memcpy(info.ri_uuid.data(), record.ri_uuid, kUuidBytes);
        info.ri_phys_footprint = record.ri_phys_footprint;
        info.ri_proc_start_abstime = record.ri_proc_start_abstime; // mach_absolute_time ticks
        info.ri_proc_exit_abstime = record.ri_proc_exit_abstime;
        info.ri_diskio_bytesread = record.ri_diskio_bytesread;
        info.ri_diskio_byteswritten = record.ri_diskio_byteswritten;
        return 0;
    }

    [[nodiscard]] std::uint32_t effectiveUid() const override { return geteuid(); }

    // The calls keep no state between them, so another thread's view is just another table.
    [[nodiscard]] std::unique_ptr<ProcessTable> viewForAnotherThread() const override
    {
        return std::make_unique<LibprocProcessTable>();
    }
};

} // namespace

// The proc root is a Linux notion; the platform has one process table.
std::unique_ptr<ProcessTable> systemProcessTable(const std::string& /*procRoot*/)
{
    return std::make_unique<LibprocProcessTable>();
}

namespace {

// libproc keeps nothing open between calls, so there is nothing to hand on.
class LibprocProcessTables final : public ProcessTables {
public:
    std::unique_ptr<ProcessTable> fresh() override { return std::make_unique<LibprocProcessTable>(); }
    void rest() override { }
};

} // namespace

std::unique_ptr<ProcessTables> systemProcessTables(const std::string& /*procRoot*/)
{
    return std::make_unique<LibprocProcessTables>();
}

} // namespace quorvantile
