#include "processes/linux/ProcfsProcessTable.h"

#include "common/FileText.h"
#include "processes/linux/ExecutableBuildId.h"
#include "processes/linux/ProcfsText.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <limits>

namespace quorvantile {
namespace {

// A file longer than this is not trusted.
constexpr std::size_t kMaximumProcFileBytes = 1024 * 1024;
// Directory entries fetched by one getdents64 call.
constexpr std::size_t kDirectoryBufferBytes = 32 * 1024;
// The longest /proc/<pid>/exe target taken; a longer one leaves the name empty.
constexpr std::size_t kMaximumLinkBytes = 4096;
constexpr int kFailedPidInfo = 0; // what proc_pidinfo returns on failure
constexpr int kFailedRusage = -1; // what proc_pid_rusage returns on failure

std::optional<std::string_view> readFile(int directory, const char* name, std::string& buffer)
{
    return readWholeFile(directory, name, kMaximumProcFileBytes, buffer, FileEnd::shortRead);
}

template<std::size_t Size> void copyName(std::array<char, Size>& field, std::string_view name)
{
    field.fill('\0');
    std::copy_n(name.begin(), std::min(name.size(), Size - 1), field.begin());
}

// Nanoseconds on the boot clock, the clock that start ticks count on.
std::uint64_t bootClockNanoseconds()
{
    timespec now {};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000U + static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::uint64_t>::max() : product;
}

} // namespace

ProcfsProcessTable::ProcfsProcessTable(const std::string& root)
    : root_(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    const long ticks = ::sysconf(_SC_CLK_TCK);
    const long page = ::sysconf(_SC_PAGESIZE);
    ticksPerSecond_ = ticks > 0 ? static_cast<std::uint64_t>(ticks) : 0;
    pageBytes_ = page > 0 ? static_cast<std::uint64_t>(page) : 0;
    if (root_ && ticksPerSecond_ != 0 && pageBytes_ != 0) {
        std::string buffer;
        if (const auto text = readFile(root_.get(), "stat", buffer)) {
            bootSeconds_ = procfs::parseBootTime(*text);
        }
    }
}

UniqueFd ProcfsProcessTable::openProcess(std::int32_t pid) const
{
    if (!root_ || pid < 1) {
        return UniqueFd();
    }
    char name[16] {};
    std::to_chars(name, name + sizeof name - 1, pid);
    // Only a handle on the directory: it pins this incarnation of the process (files opened relative
    // to it fail once the process is gone, even if its pid is reused), and O_PATH spares the open.
    return UniqueFd(::openat(root_.get(), name, O_PATH | O_DIRECTORY | O_CLOEXEC));
}

int ProcfsProcessTable::listPids(std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer)
{
    if (!root_ || ::lseek(root_.get(), 0, SEEK_SET) != 0) {
        return -1;
    }
    alignas(dirent64) char entries[kDirectoryBufferBytes];
    std::size_t count = 0;
    for (;;) {
        const ssize_t bytes = ::getdents64(root_.get(), entries, sizeof entries);
        if (bytes < 0) {
            return -1;
        }
        if (bytes == 0) {
            break;
        }
        for (ssize_t offset = 0; offset < bytes;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + offset);
            offset += entry->d_reclen;
            if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
                continue;
            }
            const auto pid = procfs::parsePid(entry->d_name);
            if (!pid) {
                continue;
            }
            // The owner of /proc/<pid> is the effective uid (see readBsd). A process that is gone
            // by now is simply not listed.
            struct stat entryStatus { };
            if (::fstatat(root_.get(), entry->d_name, &entryStatus, AT_SYMLINK_NOFOLLOW) != 0 ||
                entryStatus.st_uid != uid) {
                continue;
            }
            if (count == buffer.size()) {
                return static_cast<int>(count * sizeof(std::int32_t)); // full: the caller sees it
            }
            buffer[count++] = *pid;
        }
    }
    return static_cast<int>(count * sizeof(std::int32_t));
}

bool ProcfsProcessTable::readBsd(int directory, ProcessBsdInfo& info, procfs::StatFields& fields)
{
    // The owner of /proc/<pid> is the process's effective uid: the kernel keeps that rule for the
    // directory even when the process is not dumpable, so it stands in for the Uid line of status,
    // which costs far more to produce.
    struct stat owner { };
    if (!bootSeconds_ || ::fstat(directory, &owner) != 0) {
        return false;
    }
    const auto statText = readFile(directory, "stat", statText_);
    const auto parsedStat = statText ? procfs::parseStat(*statText) : std::nullopt;
    if (!parsedStat || parsedStat->pid < 1) {
        return false;
    }
    fields = *parsedStat;

    // The executable's name; empty when the link cannot be read (another user's process, one that
    // is not dumpable, a zombie, a kernel thread).
    char target[kMaximumLinkBytes];
    const ssize_t targetBytes = ::readlinkat(directory, "exe", target, sizeof target);
    const std::string_view name = targetBytes > 0 && static_cast<std::size_t>(targetBytes) < sizeof target
        ? procfs::executableName({target, static_cast<std::size_t>(targetBytes)}, kNameBytes - 1)
        : std::string_view();

    const procfs::StartTime start = procfs::startTime(*bootSeconds_, fields.startTicks, ticksPerSecond_);
    info.pbi_status = procfs::bsdStatus(fields.state);
    info.pbi_pid = static_cast<std::uint32_t>(fields.pid);
    info.pbi_uid = static_cast<std::uint32_t>(owner.st_uid);
    copyName(info.pbi_comm, procfs::commandName(fields.comm, kCommBytes - 1));
    copyName(info.pbi_name, name);
    info.pbi_start_tvsec = start.seconds;
    info.pbi_start_tvusec = start.microseconds;
    return true;
}

int ProcfsProcessTable::bsdInfo(std::int32_t pid, ProcessBsdInfo& info)
{
    const UniqueFd directory = openProcess(pid);
    procfs::StatFields fields;
    if (!directory || !readBsd(directory.get(), info, fields)) {
        return kFailedPidInfo;
    }
    return kBsdInfoBytes;
}

int ProcfsProcessTable::taskAllInfo(std::int32_t pid, ProcessTaskAllInfo& info)
{
    const UniqueFd directory = openProcess(pid);
    procfs::StatFields fields;
    if (!directory || !readBsd(directory.get(), info.pbsd, fields)) {
        return kFailedPidInfo;
    }
    const auto statmText = readFile(directory.get(), "statm", statmText_);
    const auto residentPages = statmText ? procfs::parseStatmResidentPages(*statmText) : std::nullopt;
    if (!residentPages) {
        return kFailedPidInfo;
    }
    info.ptinfo.pti_resident_size = saturatingProduct(*residentPages, pageBytes_);
    info.ptinfo.pti_total_user = procfs::ticksToNanoseconds(fields.userTicks, ticksPerSecond_);
    info.ptinfo.pti_total_system = procfs::ticksToNanoseconds(fields.systemTicks, ticksPerSecond_);
    info.ptinfo.pti_threadnum = fields.threads;
    return kTaskAllInfoBytes;
}

int ProcfsProcessTable::usageInfo(std::int32_t pid, ProcessUsageInfo& info)
{
    const UniqueFd directory = openProcess(pid);
    if (!directory) {
        return kFailedRusage;
    }
    const auto statText = readFile(directory.get(), "stat", statText_);
    const auto fields = statText ? procfs::parseStat(*statText) : std::nullopt;
    const auto statusText = fields ? readFile(directory.get(), "status", statusText_) : std::nullopt;
    const auto status = statusText ? procfs::parseStatus(*statusText) : std::nullopt;
    const auto ioText = status ? readFile(directory.get(), "io", ioText_) : std::nullopt;
    const auto io = ioText ? procfs::parseIo(*ioText) : std::nullopt;
    if (!io) {
        return kFailedRusage;
    }

    info.ri_proc_start_abstime = procfs::ticksToNanoseconds(fields->startTicks, ticksPerSecond_);
    // Linux keeps no exit time for a process that has not been reaped; the time of this sample on the
    // same clock bounds it and is never 0.
    info.ri_proc_exit_abstime = procfs::bsdStatus(fields->state) == kProcessStatusZombie
        ? std::max<std::uint64_t>({bootClockNanoseconds(), info.ri_proc_start_abstime, 1})
        : 0;
    info.ri_phys_footprint = status->anonymousResidentBytes + status->swappedBytes;
    info.ri_diskio_bytesread = io->readBytes;
    info.ri_diskio_byteswritten = io->writeBytes;

    // An executable that cannot be read safely has no UUID we can give: 16 zero bytes, as for one
    // without a build id.
    info.ri_uuid = procfs::processExecutableUuid(directory.get());
    return 0;
}

std::uint32_t ProcfsProcessTable::effectiveUid() const { return static_cast<std::uint32_t>(::geteuid()); }

std::unique_ptr<ProcessTable> systemProcessTable(const std::string& procRoot)
{
    return std::make_unique<ProcfsProcessTable>(procRoot);
}

} // namespace quorvantile
