#include "processes/linux/KeptProcessFiles.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>

namespace quorvantile {

struct KeptProcessFiles::Claim::Entry {
    std::int32_t pid = 0;
    Files files;
    std::atomic<bool> claimed = false;
};

namespace {

// Descriptors left for everything else the process opens (connections, a reading thread's /proc
// descriptor, the files of a process that may not keep them).
constexpr rlim_t kReservedDescriptors = 256;
constexpr rlim_t kDescriptorsPerProcess = 3;

// How many processes may keep their files under the soft descriptor limit as it is now.
std::size_t processesWithinLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
        return SIZE_MAX;
    }
    return limit.rlim_cur > kReservedDescriptors
        ? static_cast<std::size_t>((limit.rlim_cur - kReservedDescriptors) / kDescriptorsPerProcess)
        : 0;
}

} // namespace

KeptProcessFiles::Claim::~Claim()
{
    if (entry_ != nullptr) {
        entry_->claimed.store(false, std::memory_order_release);
    }
}

KeptProcessFiles::Files* KeptProcessFiles::Claim::operator->() const { return &entry_->files; }

KeptProcessFiles::KeptProcessFiles(std::size_t maximumProcesses) : maximumProcesses_(maximumProcesses)
{
    // A soft limit of 1024 is common and would leave room for a few hundred processes. This program
    // waits with poll only, so a higher soft limit cannot break a select() set.
    rlimit limit {};
    const rlim_t wanted = kReservedDescriptors + kDescriptorsPerProcess * static_cast<rlim_t>(maximumProcesses);
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        static_cast<void>(::setrlimit(RLIMIT_NOFILE, &limit)); // refused: fewer processes keep files
    }
}

KeptProcessFiles::~KeptProcessFiles() = default;

void KeptProcessFiles::keepOnly(std::span<const std::int32_t> pids)
{
    const std::size_t count = std::min({pids.size(), maximumProcesses_, processesWithinLimit()});
    auto entries = std::make_unique<Claim::Entry[]>(count);
    // Both lists ascend: one merge carries the files of pids still listed over.
    std::size_t old = 0;
    for (std::size_t index = 0; index < count; ++index) {
        entries[index].pid = pids[index];
        while (old < count_ && entries_[old].pid < pids[index]) {
            ++old;
        }
        if (old < count_ && entries_[old].pid == pids[index]) {
            entries[index].files = std::move(entries_[old].files);
        }
    }
    entries_ = std::move(entries); // the files of pids no longer listed close here
    count_ = count;
}

void KeptProcessFiles::clear()
{
    entries_.reset();
    count_ = 0;
}

KeptProcessFiles::Claim::Entry* KeptProcessFiles::find(std::int32_t pid) const
{
    Claim::Entry* const end = entries_.get() + count_;
    Claim::Entry* const entry = std::lower_bound(
        entries_.get(), end, pid, [](const Claim::Entry& kept, std::int32_t wanted) { return kept.pid < wanted; });
    return entry != end && entry->pid == pid ? entry : nullptr;
}

KeptProcessFiles::Claim KeptProcessFiles::claim(std::int32_t pid)
{
    Claim::Entry* const entry = find(pid);
    if (entry == nullptr || entry->claimed.exchange(true, std::memory_order_acquire)) {
        return Claim();
    }
    return Claim(entry);
}

int KeptProcessFiles::directoryOf(std::int32_t pid) const
{
    const Claim::Entry* const entry = find(pid);
    return entry != nullptr ? entry->files.directory.get() : -1;
}

std::size_t KeptProcessFiles::openDescriptors() const
{
    std::size_t open = 0;
    for (const Claim::Entry& entry : std::span(entries_.get(), count_)) {
        open += (entry.files.directory ? 1 : 0) + (entry.files.stat ? 1 : 0) + (entry.files.statm ? 1 : 0);
    }
    return open;
}

} // namespace quorvantile
