#include "processes/linux/ProcfsProcessTable.h"

#include "common/FileText.h"
#include "processes/linux/ExecutableBuildId.h"
#include "processes/linux/KeptProcessFiles.h"
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
// Room for the stat and statm texts of a process, so that reading them does not allocate.
constexpr std::size_t kTextBufferBytes = 4096;
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

// "<pid>" and "<pid>/<file>" relative to the root, built in place without allocating.
class ProcessPath {
public:
    explicit ProcessPath(std::int32_t pid)
        : directoryBytes_(
              static_cast<std::size_t>(std::to_chars(text_.data(), text_.data() + kPidDigits, pid).ptr - text_.data()))
    {
    }
    [[nodiscard]] const char* directory()
    {
        text_[directoryBytes_] = '\0';
        return text_.data();
    }
    // `name` is one of the short names of a process's files ("stat", "statm", "exe").
    [[nodiscard]] const char* file(std::string_view name)
    {
        text_[directoryBytes_] = '/';
        const std::size_t length = std::min(name.size(), text_.size() - directoryBytes_ - 2);
        *std::copy_n(name.begin(), length, text_.begin() + static_cast<std::ptrdiff_t>(directoryBytes_ + 1)) = '\0';
        return text_.data();
    }

private:
    static constexpr std::size_t kPidDigits = 10;
    std::array<char, kPidDigits + 8> text_ {};
    std::size_t directoryBytes_;
};

// The name for `pbi_name` from the exe link at `path` relative to `directory` (the link `directory`
// itself when `path` is empty), kept in `target`; empty when the link cannot be read (a process that
// is not dumpable, a zombie, a kernel thread).
std::string_view executableName(int directory, const char* path, std::array<char, kMaximumLinkBytes>& target)
{
    const ssize_t bytes = ::readlinkat(directory, path, target.data(), target.size());
    if (bytes <= 0 || static_cast<std::size_t>(bytes) >= target.size()) {
        return {};
    }
    return procfs::executableName({target.data(), static_cast<std::size_t>(bytes)}, kNameBytes - 1);
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

// Kept files follow the listing that holds this: those of the processes it does not list are closed
// at its end, however it ends.
class KeptListing {
public:
    explicit KeptListing(KeptProcessFiles* kept) : kept_(kept)
    {
        if (kept_ != nullptr) {
            kept_->beginListing();
        }
    }
    KeptListing(const KeptListing&) = delete;
    KeptListing& operator=(const KeptListing&) = delete;
    ~KeptListing()
    {
        if (kept_ != nullptr) {
            kept_->endListing();
        }
    }

private:
    KeptProcessFiles* kept_;
};

} // namespace

ProcfsProcessTable::ProcfsProcessTable(const std::string& root, std::shared_ptr<KeptProcessFiles> kept)
    : root_(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), readerUid_(::geteuid()), kept_(std::move(kept))
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
    statText_.resize(kTextBufferBytes);
    statmText_.resize(kTextBufferBytes);
}

ProcfsProcessTable::ProcfsProcessTable(const ProcfsProcessTable& table, AnotherView /*unused*/)
    : root_(table.root_ ? ::openat(table.root_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1),
      bootSeconds_(table.bootSeconds_), ticksPerSecond_(table.ticksPerSecond_), pageBytes_(table.pageBytes_),
      readerUid_(table.readerUid_), listing_(table.listing_), kept_(table.kept_)
{
    // Allocated here, on the calling thread: the view's own thread then reads without allocating.
    statText_.resize(kTextBufferBytes);
    statmText_.resize(kTextBufferBytes);
}

std::unique_ptr<ProcessTable> ProcfsProcessTable::viewForAnotherThread() const
{
    // A descriptor of its own: threads sharing one would contend for its reference count on every call.
    std::unique_ptr<ProcfsProcessTable> view(new ProcfsProcessTable(*this, AnotherView {}));
    return view->root_ ? std::move(view) : nullptr;
}

UniqueFd ProcfsProcessTable::openProcess(std::int32_t pid) const
{
    if (!root_ || pid < 1) {
        return UniqueFd();
    }
    ProcessPath path(pid);
    // Only a handle on the directory: it pins this incarnation of the process (files opened relative
    // to it fail once the process is gone, even if its pid is reused), and O_PATH spares the open.
    return UniqueFd(::openat(root_.get(), path.directory(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

int ProcfsProcessTable::listPids(std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer)
{
    struct Untold final : ListingProgress {
        void listed(std::size_t /*count*/) override { }
    } untold;
    return listPidsTelling(uid, buffer, untold);
}

void ProcfsProcessTable::Listing::add(std::int32_t pid)
{
    const std::size_t listed = count.load(std::memory_order_relaxed);
    if (listed < kProcessIdSlots && (listed == 0 || pids[listed - 1] < pid)) {
        pids[listed] = pid;
        count.store(listed + 1, std::memory_order_release);
    }
}

bool ProcfsProcessTable::Listing::contains(std::int32_t pid) const
{
    const std::int32_t* const begin = pids.get();
    return std::binary_search(begin, begin + count.load(std::memory_order_acquire), pid);
}

int ProcfsProcessTable::listPidsTelling(
    std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer, ListingProgress& progress)
{
    auto listing = std::make_shared<Listing>();
    listing->uid = uid;
    listing_ = listing;
    if (!root_ || ::lseek(root_.get(), 0, SEEK_SET) != 0) {
        return -1;
    }
    const KeptListing keptListing(kept_.get());

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
            // A process that is gone by now is simply not listed.
            std::optional<std::uint32_t> owner = keptOwner(*pid, entry->d_ino);
            if (!owner) {
                owner = ownerOf(entry->d_name);
            }
            if (owner != uid) {
                continue;
            }
            if (count == buffer.size()) {
                return static_cast<int>(count * sizeof(std::int32_t)); // full: the caller sees it
            }
            buffer[count++] = *pid;
            // Known to the views and given its kept files before a reader hears of it.
            listing->add(*pid);
            if (kept_) {
                kept_->add(*pid);
            }
            progress.listed(count);
        }
    }
    return static_cast<int>(count * sizeof(std::int32_t));
}

std::optional<std::uint32_t> ProcfsProcessTable::keptOwner(std::int32_t pid, ino_t listedInode) const
{
    // The listing names the inode of the pid's directory now; a kept directory with that inode is
    // the live process at the pid, and its owner is asked without a walk from the root.
    const int directory = kept_ ? kept_->previousDirectory(pid) : -1;
    struct stat status { };
    if (directory < 0 || ::fstat(directory, &status) != 0 || status.st_ino != listedInode) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(status.st_uid);
}

std::optional<std::uint32_t> ProcfsProcessTable::listedOwner(std::int32_t pid) const
{
    if (listing_ && listing_->contains(pid)) {
        return listing_->uid;
    }
    return std::nullopt;
}

void ProcfsProcessTable::fillBsd(
    ProcessBsdInfo& info, const procfs::StatFields& fields, std::uint32_t owner, std::string_view name) const
{
    const procfs::StartTime start = procfs::startTime(*bootSeconds_, fields.startTicks, ticksPerSecond_);
    info.pbi_status = procfs::bsdStatus(fields.state);
    info.pbi_pid = static_cast<std::uint32_t>(fields.pid);
    info.pbi_uid = owner;
    copyName(info.pbi_comm, procfs::commandName(fields.comm, kCommBytes - 1));
    copyName(info.pbi_name, name);
    info.pbi_start_tvsec = start.seconds;
    info.pbi_start_tvusec = start.microseconds;
}

int ProcfsProcessTable::bsdInfo(std::int32_t pid, ProcessBsdInfo& info)
{
    // The owner of /proc/<pid> is the process's effective uid: the kernel keeps that rule for the
    // directory even when the process is not dumpable, so it stands in for the Uid line of status,
    // which costs far more to produce.
    const UniqueFd directory = openProcess(pid);
    struct stat owner { };
    if (!directory || !bootSeconds_ || ::fstat(directory.get(), &owner) != 0) {
        return kFailedPidInfo;
    }
    const auto statText = readFile(directory.get(), "stat", statText_);
    const auto fields = statText ? procfs::parseStat(*statText) : std::nullopt;
    if (!fields || fields->pid < 1) {
        return kFailedPidInfo;
    }
    // Only the reader's own processes are named by their executable, as in taskAllInfo.
    std::array<char, kMaximumLinkBytes> target;
    const std::string_view name =
        owner.st_uid == readerUid_ ? executableName(directory.get(), "exe", target) : std::string_view();
    fillBsd(info, *fields, static_cast<std::uint32_t>(owner.st_uid), name);
    return kBsdInfoBytes;
}

std::optional<std::uint32_t> ProcfsProcessTable::ownerOf(const char* directory) const
{
    // The owner of /proc/<pid> is the process's effective uid, even when the process is not
    // dumpable (its other files are then root's).
    struct stat status { };
    if (::fstatat(root_.get(), directory, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(status.st_uid);
}

bool ProcfsProcessTable::rereadKept(const KeptProcessFiles::Files& files, ProcessTexts& texts)
{
    if (!files.stat || !files.statm) {
        return false;
    }
    texts.stat = rereadWholeFile(files.stat.get(), kMaximumProcFileBytes, statText_, FileEnd::shortRead);
    texts.statm = texts.stat ? rereadWholeFile(files.statm.get(), kMaximumProcFileBytes, statmText_, FileEnd::shortRead)
                             : std::nullopt;
    return texts.statm.has_value();
}

std::optional<std::uint32_t> ProcfsProcessTable::openKept(const char* directory, KeptProcessFiles::Files& files) const
{
    files = {};
    // All three through one directory handle, so that they belong to one process.
    UniqueFd opened(::openat(root_.get(), directory, O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat owner { };
    if (!opened || ::fstat(opened.get(), &owner) != 0) {
        return std::nullopt;
    }
    UniqueFd stat(::openat(opened.get(), "stat", O_RDONLY | O_CLOEXEC | O_NOCTTY));
    UniqueFd statm(::openat(opened.get(), "statm", O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!stat || !statm) {
        return std::nullopt;
    }
    // The link itself, not its target: read with readlinkat(exe, ""), it names what the process
    // runs at the time of the read. Without it the link is read through the directory.
    UniqueFd exe(::openat(opened.get(), "exe", O_PATH | O_NOFOLLOW | O_CLOEXEC));
    files = {std::move(opened), std::move(stat), std::move(statm), std::move(exe)};
    return static_cast<std::uint32_t>(owner.st_uid);
}

int ProcfsProcessTable::taskAllInfo(std::int32_t pid, ProcessTaskAllInfo& info)
{
    if (!root_ || !bootSeconds_ || pid < 1) {
        return kFailedPidInfo;
    }
    // Every file is opened by its path below the root, or read through those kept for the pid: no
    // directory handle opened per process and call.
    ProcessPath path(pid);
    std::optional<std::uint32_t> owner = listedOwner(pid);
    if (!owner) {
        owner = ownerOf(path.directory());
    }
    if (!owner) {
        return kFailedPidInfo;
    }
    const KeptProcessFiles::Claim kept = kept_ ? kept_->claim(pid) : KeptProcessFiles::Claim();
    ProcessTexts texts;
    if (kept && !rereadKept(*kept, texts)) {
        // None kept yet, or the process they were opened for is gone: open those of the process that
        // has the pid now, and take its owner afresh (the listing may have seen the one before).
        owner = openKept(path.directory(), *kept);
        if (!owner || !rereadKept(*kept, texts)) {
            *kept = {};
            return kFailedPidInfo;
        }
    }
    if (!kept) {
        texts.stat = readFile(root_.get(), path.file("stat"), statText_);
    }
    const auto fields = texts.stat ? procfs::parseStat(*texts.stat) : std::nullopt;
    if (!fields || fields->pid < 1) {
        return kFailedPidInfo;
    }
    // The exe link, the dearest read after stat, only for the reader's own processes: the others
    // are left out by every reader anyway.
    std::array<char, kMaximumLinkBytes> target;
    const std::string_view name = *owner != readerUid_ ? std::string_view()
        : !kept                                        ? executableName(root_.get(), path.file("exe"), target)
        : kept->exe                                    ? executableName(kept->exe.get(), "", target)
                                                       : executableName(kept->directory.get(), "exe", target);
    if (!kept) {
        texts.statm = readFile(root_.get(), path.file("statm"), statmText_);
    }
    const auto residentPages = texts.statm ? procfs::parseStatmResidentPages(*texts.statm) : std::nullopt;
    if (!residentPages) {
        return kFailedPidInfo;
    }
    fillBsd(info.pbsd, *fields, *owner, name);
    info.ptinfo.pti_resident_size = saturatingProduct(*residentPages, pageBytes_);
    info.ptinfo.pti_total_user = procfs::ticksToNanoseconds(fields->userTicks, ticksPerSecond_);
    info.ptinfo.pti_total_system = procfs::ticksToNanoseconds(fields->systemTicks, ticksPerSecond_);
    info.ptinfo.pti_threadnum = fields->threads;
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

namespace {

// Tables that hand the kept files of the processes they listed on to the next table.
class ProcfsProcessTables final : public ProcessTables {
public:
    explicit ProcfsProcessTables(std::string procRoot)
        : procRoot_(std::move(procRoot)), kept_(std::make_shared<KeptProcessFiles>(kProcessIdSlots))
    {
    }
    std::unique_ptr<ProcessTable> fresh() override { return std::make_unique<ProcfsProcessTable>(procRoot_, kept_); }
    void rest() override { kept_->clear(); }

private:
    std::string procRoot_;
    std::shared_ptr<KeptProcessFiles> kept_;
};

} // namespace

std::unique_ptr<ProcessTables> systemProcessTables(const std::string& procRoot)
{
    return std::make_unique<ProcfsProcessTables>(procRoot);
}

} // namespace quorvantile
