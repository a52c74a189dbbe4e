#pragma once

#include "processes/ProcessLimits.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

// The process table as the process readers see it. The records mirror the platform's
// (`proc_bsdinfo`, `proc_taskallinfo`, `rusage_info_v2`), keeping only the fields the readers use and
// their names, and every call answers with the platform's own success indication so that the checks
// on it stay in the readers. The Linux implementation reads /proc; tests use fakes.
namespace quorvantile {

// Results of a successful info call: the byte size of the platform record it filled.
inline constexpr int kBsdInfoBytes = 136; // PROC_PIDTBSDINFO
inline constexpr int kTaskAllInfoBytes = 232; // PROC_PIDTASKALLINFO

// `pbi_status` values, as the BSD process states number them.
inline constexpr std::uint32_t kProcessStatusRunning = 2; // SRUN
inline constexpr std::uint32_t kProcessStatusSleeping = 3; // SSLEEP
inline constexpr std::uint32_t kProcessStatusStopped = 4; // SSTOP
inline constexpr std::uint32_t kProcessStatusZombie = 5; // SZOMB: exited, not yet reaped

inline constexpr std::size_t kCommBytes = 16; // MAXCOMLEN + 1
inline constexpr std::size_t kNameBytes = 32; // 2 * MAXCOMLEN
inline constexpr std::size_t kUuidBytes = 16;

struct ProcessBsdInfo {
    std::uint32_t pbi_status = 0;
    std::uint32_t pbi_pid = 0;
    std::uint32_t pbi_uid = 0; // effective uid
    std::array<char, kCommBytes> pbi_comm {}; // zero-terminated unless full
    std::array<char, kNameBytes> pbi_name {}; // zero-terminated unless full
    std::uint64_t pbi_start_tvsec = 0;
    std::uint64_t pbi_start_tvusec = 0;
};

struct ProcessTaskInfo {
    std::uint64_t pti_resident_size = 0; // bytes
    std::uint64_t pti_total_user = 0; // absolute-time units
    std::uint64_t pti_total_system = 0; // absolute-time units
    std::int32_t pti_threadnum = 0;
};

struct ProcessTaskAllInfo {
    ProcessBsdInfo pbsd;
    ProcessTaskInfo ptinfo;
};

struct ProcessUsageInfo {
    std::array<std::uint8_t, kUuidBytes> ri_uuid {}; // the main executable's UUID
    std::uint64_t ri_phys_footprint = 0; // bytes
    std::uint64_t ri_proc_start_abstime = 0; // absolute-time units
    std::uint64_t ri_proc_exit_abstime = 0; // 0 while the process has not exited
    std::uint64_t ri_diskio_bytesread = 0;
    std::uint64_t ri_diskio_byteswritten = 0;
};

// What a listing tells its reader as it goes, on the listing thread.
class ListingProgress {
public:
    // `count` ids are written from the first slot on, and stay as they are.
    virtual void listed(std::size_t count) = 0;

protected:
    ~ListingProgress() = default;
};

// One view of the table. An implementation may fix some state when it is made (Linux: the boot time
// that start times count from), so readers take a fresh one per call. Not for concurrent use: a
// reader that reads on several threads gives each its own view (viewForAnotherThread).
class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    // proc_listpids(PROC_UID_ONLY, uid): writes the ids of the processes whose effective uid is `uid`
    // from the first slot on and returns the number of bytes written; a full buffer returns its whole
    // size and leaves the rest out. 0 or less is failure.
    [[nodiscard]] virtual int listPids(std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer) = 0;

    // listPids, telling `progress` as it writes ids so that a reader can begin on the first while the
    // rest are listed; the views of this table may read while it lists. A table whose listing comes
    // in one piece tells nothing, as this default does.
    [[nodiscard]] virtual int listPidsTelling(
        std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer, ListingProgress& /*progress*/)
    {
        return listPids(uid, buffer);
    }

    // proc_pidinfo(PROC_PIDTBSDINFO): kBsdInfoBytes on success, anything else is failure.
    [[nodiscard]] virtual int bsdInfo(std::int32_t pid, ProcessBsdInfo& info) = 0;

    // proc_pidinfo(PROC_PIDTASKALLINFO): kTaskAllInfoBytes on success, anything else is failure.
    [[nodiscard]] virtual int taskAllInfo(std::int32_t pid, ProcessTaskAllInfo& info) = 0;

    // proc_pid_rusage(RUSAGE_INFO_V2): 0 on success, anything else is failure.
    [[nodiscard]] virtual int usageInfo(std::int32_t pid, ProcessUsageInfo& info) = 0;

    // geteuid(): the caller's effective uid, asked afresh on every call.
    [[nodiscard]] virtual std::uint32_t effectiveUid() const = 0;

    // Another view with the same fixed state as this one (so the same start times) and resources of
    // its own, for one more thread to read processes on while this view is used on the calling one.
    // Made on the calling thread. Absent when it cannot be made; the reader then uses fewer threads.
    [[nodiscard]] virtual std::unique_ptr<ProcessTable> viewForAnotherThread() const = 0;
};

// A fresh view of the process table below `procRoot`.
[[nodiscard]] std::unique_ptr<ProcessTable> systemProcessTable(const std::string& procRoot);

// The tables of a reader that runs again and again (a server's inventory). A table may hand what it
// opened on to the next one (Linux keeps the listed processes' directories, stat and statm open)
// until the owner calls rest. For one thread; each table follows ProcessTable's rules.
class ProcessTables {
public:
    virtual ~ProcessTables() = default;
    [[nodiscard]] virtual std::unique_ptr<ProcessTable> fresh() = 0;
    // Lets go of everything handed on; the next table starts afresh.
    virtual void rest() = 0;
};

[[nodiscard]] std::unique_ptr<ProcessTables> systemProcessTables(const std::string& procRoot);

} // namespace quorvantile
