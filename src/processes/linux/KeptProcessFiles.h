#pragma once

#include "common/UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

namespace quorvantile {

// The /proc directory and the stat and statm files of one user's processes, kept open from one
// inventory to the next. Reading an open /proc file again from its start costs well under half of
// opening, reading and closing it: the path walk, the permission check and the file's set-up are
// paid once per process rather than once per inventory; the directory answers for the owner and
// the exe link without a walk from the root. Kept files stay bound to the process that had the pid
// when they were opened (all three through the one directory handle); once that process is gone
// their reads fail (ESRCH) and the reader opens the pid's files anew, so a reused pid is never read
// through another process's files.
//
// The price is three descriptors per process and, in the kernel, a page of text buffer for each of
// the two files (about 9 KiB a process). Hence only as many processes as the descriptor limit leaves
// room for keep their files, and the owner lets go of all of them once inventories stop (clear).
//
// keepOnly and clear run on the owner's thread while nobody holds a claim; claims may be taken on
// any thread, one per process at a time.
class KeptProcessFiles {
public:
    struct Files {
        UniqueFd directory; // O_PATH
        UniqueFd stat;
        UniqueFd statm;
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
        struct Entry;
        explicit Claim(Entry* entry) : entry_(entry) { }
        Entry* entry_ = nullptr;
    };

    // Raises this process's soft descriptor limit to make room for `maximumProcesses` kept processes
    // (within the hard limit), and keeps at most that many.
    explicit KeptProcessFiles(std::size_t maximumProcesses);
    ~KeptProcessFiles();
    KeptProcessFiles(const KeptProcessFiles&) = delete;
    KeptProcessFiles& operator=(const KeptProcessFiles&) = delete;

    // Makes `pids` (ascending, distinct) the processes that may keep files: those already kept keep
    // theirs, the files of every other pid are closed. Only the lowest pids that the descriptor limit
    // leaves room for may keep files.
    void keepOnly(std::span<const std::int32_t> pids);
    // Closes every kept file.
    void clear();

    // The files of `pid` for the calling thread: empty when `pid` may not keep files, or another
    // thread holds them.
    [[nodiscard]] Claim claim(std::int32_t pid);

    // The kept directory of `pid`, or -1; for the owner's thread while nobody holds a claim.
    [[nodiscard]] int directoryOf(std::int32_t pid) const;

    // Kept descriptors, for tests and figures.
    [[nodiscard]] std::size_t openDescriptors() const;

private:
    [[nodiscard]] Claim::Entry* find(std::int32_t pid) const;

    std::unique_ptr<Claim::Entry[]> entries_;
    std::size_t count_ = 0;
    std::size_t maximumProcesses_;
};

} // namespace quorvantile
