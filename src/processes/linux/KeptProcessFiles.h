#pragma once

#include "common/UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace quorvantile {

// The /proc directory, the stat and statm files and the exe link of one user's processes, kept open
// from one inventory to the next. Reading an open /proc file again from its start costs well under
// half of opening, reading and closing it: the path walk, the permission check and the file's set-up
// are paid once per process rather than once per inventory. The directory answers for the owner,
// and the exe link is read through a handle on the link itself, which names what the process runs
// at the time of the read (an exec included). Kept files stay bound to the process that had the pid
// when they were opened (all of them through the one directory handle); once that process is gone
// their reads fail (ESRCH) and the reader opens the pid's files anew, so a reused pid is never read
// through another process's files.
//
// The price is four descriptors per process and, in the kernel, a page of text buffer for each of
// the two files (about 9 KiB a process). Hence only as many processes as the descriptor limit leaves
// room for keep their files, and the owner lets go of all of them once inventories stop (clear).
//
// Each listing names the processes that keep files, in ascending pid order, while other threads
// already read the ones it has named: beginListing, previousDirectory, add and endListing run on the
// listing thread, and claims may be taken on any thread, one per process at a time, on the processes
// added so far. The files of the last listing's processes are carried over to this one's as they are
// added; endListing closes those not listed again.
class KeptProcessFiles {
    struct Entry;

public:
    struct Files {
        UniqueFd directory; // O_PATH
        UniqueFd stat;
        UniqueFd statm;
        UniqueFd exe; // O_PATH | O_NOFOLLOW: the link itself; empty when it could not be opened
    };

    // The files of one process, for the thread that claimed them; empty when there are none to use.
    class Claim {
    public:
        Claim() = default;
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        Claim(Claim&& other) noexcept : entry_(std::exchange(other.entry_, nullptr)) { }
        Claim& operator=(Claim&&) = delete;
        ~Claim();
        explicit operator bool() const { return entry_ != nullptr; }
        Files* operator->() const;
        Files& operator*() const { return *operator->(); }

    private:
        friend class KeptProcessFiles;
        explicit Claim(Entry* entry) : entry_(entry) { }
        Entry* entry_ = nullptr;
    };

    // Raises this process's soft descriptor limit to make room for `maximumProcesses` kept processes
    // (within the hard limit), and keeps at most that many.
    explicit KeptProcessFiles(std::size_t maximumProcesses);
    ~KeptProcessFiles();
    KeptProcessFiles(const KeptProcessFiles&) = delete;
    KeptProcessFiles& operator=(const KeptProcessFiles&) = delete;

    // Starts a listing, while nobody holds a claim; the last listing's files wait to be carried over.
    void beginListing();
    // The directory the last listing kept for `pid`, or -1 (once `pid` is added, -1 too).
    [[nodiscard]] int previousDirectory(std::int32_t pid) const;
    // `pid`, above every pid added since beginListing, is listed: it may keep files (those of the last
    // listing among them), if the descriptor limit left room for it when the listing began.
    void add(std::int32_t pid);
    // Closes the files of the last listing's processes that this one did not add.
    void endListing();
    // Closes every kept file, while nobody holds a claim and no listing is open.
    void clear();

    // The files of `pid` for the calling thread: empty when `pid` is not added, or another thread
    // holds them.
    [[nodiscard]] Claim claim(std::int32_t pid);

    // Kept descriptors, for tests and figures; while nobody holds a claim.
    [[nodiscard]] std::size_t openDescriptors() const;

private:
    // The entry of `pid` among the first `count` of `entries`, or null.
    static Entry* find(const std::unique_ptr<Entry[]>& entries, std::size_t count, std::int32_t pid);

    struct Entries {
        std::unique_ptr<Entry[]> entries;
        std::size_t capacity = 0;
        std::atomic<std::size_t> count = 0; // entries added; claims look at these only
    };

    std::size_t maximumProcesses_;
    Entries current_;
    Entries previous_; // the last listing's, until endListing
};

} // namespace quorvantile
