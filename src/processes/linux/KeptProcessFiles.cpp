#include "processes/linux/KeptProcessFiles.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <span>

namespace quorvantile {

struct KeptProcessFiles::Entry {
    std::int32_t pid = 0;
    Files files;
    std::atomic<bool> claimed = false;
};

namespace {

// Descriptors left for everything else the process opens (connections, a reading thread's /proc
// descriptor, the files of a process that may not keep them).
constexpr rlim_t kReservedDescriptors = 256;
constexpr rlim_t kDescriptorsPerProcess = 4;

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

KeptProcessFiles::Entry* KeptProcessFiles::find(
    const std::unique_ptr<Entry[]>& entries, std::size_t count, std::int32_t pid)
{
    Entry* const end = entries.get() + count;
    Entry* const entry = std::lower_bound(
        entries.get(), end, pid, [](const Entry& kept, std::int32_t wanted) { return kept.pid < wanted; });
    return entry != end && entry->pid == pid ? entry : nullptr;
}

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

void KeptProcessFiles::beginListing()
{
    endListing(); // one left open by a listing that failed
    // The two arrays trade places, so that a listing allocates only when the room for it changed.
    std::swap(previous_.entries, current_.entries);
    std::swap(previous_.capacity, current_.capacity);
    previous_.count.store(current_.count.load(std::memory_order_relaxed), std::memory_order_relaxed);
    const std::size_t room = std::min(maximumProcesses_, processesWithinLimit());
    if (current_.capacity != room) {
        current_.entries = std::make_unique<Entry[]>(room);
        current_.capacity = room;
    }
    current_.count.store(0, std::memory_order_release);
}

int KeptProcessFiles::previousDirectory(std::int32_t pid) const
{
    const Entry* entry = find(previous_.entries, previous_.count.load(std::memory_order_relaxed), pid);
    return entry != nullptr ? entry->files.directory.get() : -1;
}

void KeptProcessFiles::add(std::int32_t pid)
{
    const std::size_t count = current_.count.load(std::memory_order_relaxed);
    if (count == current_.capacity || (count > 0 && current_.entries[count - 1].pid >= pid)) {
        return; // no room, or out of order: read without kept files
    }
    Entry& entry = current_.entries[count];
    entry.pid = pid;
    Entry* const before = find(previous_.entries, previous_.count.load(std::memory_order_relaxed), pid);
    entry.files = before != nullptr ? std::move(before->files) : Files {};
    current_.count.store(count + 1, std::memory_order_release); // the entry is complete before a claim sees it
}

void KeptProcessFiles::endListing()
{
    for (Entry& entry : std::span(previous_.entries.get(), previous_.count.load(std::memory_order_relaxed))) {
        entry.files = {}; // the files of a process no longer listed close here
    }
    previous_.count.store(0, std::memory_order_relaxed);
}

void KeptProcessFiles::clear()
{
    current_.entries.reset();
    current_.capacity = 0;
    current_.count.store(0, std::memory_order_relaxed);
    previous_.entries.reset();
    previous_.capacity = 0;
    previous_.count.store(0, std::memory_order_relaxed);
}

KeptProcessFiles::Claim KeptProcessFiles::claim(std::int32_t pid)
{
    Entry* const entry = find(current_.entries, current_.count.load(std::memory_order_acquire), pid);
    if (entry == nullptr || entry->claimed.exchange(true, std::memory_order_acquire)) {
        return Claim();
    }
    return Claim(entry);
}

std::size_t KeptProcessFiles::openDescriptors() const
{
    std::size_t open = 0;
    for (const Entries* entries : {&current_, &previous_}) {
        for (const Entry& entry : std::span(entries->entries.get(), entries->count.load(std::memory_order_relaxed))) {
            for (const UniqueFd* file :
                {&entry.files.directory, &entry.files.stat, &entry.files.statm, &entry.files.exe}) {
                open += *file ? 1 : 0;
            }
        }
    }
    return open;
}

} // namespace quorvantile
