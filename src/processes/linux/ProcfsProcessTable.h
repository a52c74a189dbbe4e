#pragma once

#include "common/UniqueFd.h"
#include "processes/ProcessTable.h"
#include "processes/linux/KeptProcessFiles.h"

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvantile {

namespace procfs {
struct StatFields;
} // namespace procfs

// The process table over a procfs tree: "/proc" on a running system, a fixture tree in tests.
//
// bsdInfo and usageInfo open /proc/<pid> once and read only the files their fields need relative to
// that directory, so all of them describe the same process even if its pid is reused meanwhile.
// taskAllInfo, which the inventory calls for every process of the user, opens each file by its path
// below the one root descriptor instead: a pid is reused only after the kernel has handed out every
// other free pid, which cannot happen in the microseconds between its reads, and the identity it
// reports comes from the one `stat` text. For the same reason it takes the owner of a process that
// the last listing listed from that listing, which had to ask each directory for it anyway. The
// boot time that start times count from is read once, when the table is made: make one per reader
// call.
//
// Given kept files (KeptProcessFiles.h), a listing asks a kept directory that is still the pid's for
// its process's owner and makes its processes the ones whose files are kept, and taskAllInfo reads
// through them. Its views share them, and may read the processes listed so far while the listing
// goes on (listPidsTelling tells how far it is); nothing else runs beside a listing.
class ProcfsProcessTable final : public ProcessTable {
public:
    explicit ProcfsProcessTable(const std::string& root, std::shared_ptr<KeptProcessFiles> kept = nullptr);

    [[nodiscard]] int listPids(std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer) override;
    [[nodiscard]] int listPidsTelling(
        std::uint32_t uid, std::span<std::int32_t, kProcessIdSlots> buffer, ListingProgress& progress) override;
    [[nodiscard]] int bsdInfo(std::int32_t pid, ProcessBsdInfo& info) override;
    [[nodiscard]] int taskAllInfo(std::int32_t pid, ProcessTaskAllInfo& info) override;
    [[nodiscard]] int usageInfo(std::int32_t pid, ProcessUsageInfo& info) override;
    [[nodiscard]] std::uint32_t effectiveUid() const override;
    [[nodiscard]] std::unique_ptr<ProcessTable> viewForAnotherThread() const override;

private:
    struct AnotherView { };
    ProcfsProcessTable(const ProcfsProcessTable& table, AnotherView);

    // The processes of one user as the listing found them (so far, while it runs): the listing
    // thread adds them in ascending order, leaving out one out of order, and the views look them up
    // as it goes.
    struct Listing {
        std::uint32_t uid = 0;
        std::unique_ptr<std::int32_t[]> pids = std::make_unique_for_overwrite<std::int32_t[]>(kProcessIdSlots);
        std::atomic<std::size_t> count = 0;

        void add(std::int32_t pid);
        [[nodiscard]] bool contains(std::int32_t pid) const;
    };

    [[nodiscard]] UniqueFd openProcess(std::int32_t pid) const;
    // The owner of the process directory `directory` below the root.
    [[nodiscard]] std::optional<std::uint32_t> ownerOf(const char* directory) const;
    // The owner the last listing found for `pid`, if it listed it.
    [[nodiscard]] std::optional<std::uint32_t> listedOwner(std::int32_t pid) const;
    struct ProcessTexts {
        std::optional<std::string_view> stat;
        std::optional<std::string_view> statm;
    };
    // Reads stat and statm through kept files; false when there are none or their process is gone.
    [[nodiscard]] bool rereadKept(const KeptProcessFiles::Files& files, ProcessTexts& texts);
    // Opens the files of the process at `directory` below the root into `files`; its owner, or
    // absent (and `files` empty) when they cannot be opened.
    [[nodiscard]] std::optional<std::uint32_t> openKept(const char* directory, KeptProcessFiles::Files& files) const;
    // The owner of `pid` by the directory kept for it, when that is the directory the listing found.
    [[nodiscard]] std::optional<std::uint32_t> keptOwner(std::int32_t pid, ino_t listedInode) const;
    void fillBsd(
        ProcessBsdInfo& info, const procfs::StatFields& fields, std::uint32_t owner, std::string_view name) const;

    UniqueFd root_;
    std::optional<std::uint64_t> bootSeconds_;
    std::uint64_t ticksPerSecond_ = 0;
    std::uint64_t pageBytes_ = 0;
    std::uint32_t readerUid_ = 0; // the effective uid when the table was made
    // Shared with the views made for other threads, which read it while the listing adds to it.
    std::shared_ptr<Listing> listing_;
    std::shared_ptr<KeptProcessFiles> kept_; // shared with the views and the next tables; may be null
    // Read buffers kept across calls, so that reading a process does not allocate.
    std::string statText_;
    std::string statmText_;
    std::string statusText_;
    std::string ioText_;
};

} // namespace quorvantile
