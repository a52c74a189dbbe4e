#pragma once

#include "common/linux/ProcessStat.h"

#include <cstdint>
#include <optional>
#include <string_view>

// Pure parsers of the /proc texts the process table reads, and the conversions of what they hold.
// Only code under linux/ includes this.
namespace quorvantile::procfs {

// A /proc directory name that is a process id: decimal digits without a leading zero, 1 to INT32_MAX.
[[nodiscard]] std::optional<std::int32_t> parsePid(std::string_view name);

// The resident pages of /proc/<pid>/statm (its second field). The table takes the resident size from
// here, not from the rss field of stat: on current kernels that field is read from per-CPU counters
// without summing them and can be off by hundreds of pages, while statm sums them.
[[nodiscard]] std::optional<std::uint64_t> parseStatmResidentPages(std::string_view text);

// The memory lines of /proc/<pid>/status the table uses. A process without memory (a zombie, a kernel
// thread) has none: they read as 0.
struct StatusFields {
    std::uint64_t anonymousResidentBytes = 0;
    std::uint64_t swappedBytes = 0;
};
[[nodiscard]] std::optional<StatusFields> parseStatus(std::string_view text);

// read_bytes and write_bytes of /proc/<pid>/io.
struct IoFields {
    std::uint64_t readBytes = 0;
    std::uint64_t writeBytes = 0;
};
[[nodiscard]] std::optional<IoFields> parseIo(std::string_view text);

// The `btime` line of /proc/stat: the boot time in whole seconds of the wall clock.
[[nodiscard]] std::optional<std::uint64_t> parseBootTime(std::string_view text);

// The BSD process state (`pbi_status`) for a state letter of /proc/<pid>/stat.
[[nodiscard]] std::uint32_t bsdStatus(char state);

// Clock ticks as nanoseconds, exactly for every tick rate, saturating instead of wrapping.
[[nodiscard]] std::uint64_t ticksToNanoseconds(std::uint64_t ticks, std::uint64_t ticksPerSecond);

// A process's start time on the wall clock: the boot time plus its start ticks. The same on every
// call for the same process, since the boot time is whole seconds and the ticks never change.
struct StartTime {
    std::uint64_t seconds = 0;
    std::uint64_t microseconds = 0;
};
[[nodiscard]] StartTime startTime(std::uint64_t bootSeconds, std::uint64_t startTicks, std::uint64_t ticksPerSecond);

// The name for `pbi_name` from the target of /proc/<pid>/exe: its base name without the kernel's
// " (deleted)" mark, cut to `maximumBytes` without splitting a UTF-8 sequence.
[[nodiscard]] std::string_view executableName(std::string_view linkTarget, std::size_t maximumBytes);

// The name for `pbi_comm`: the command name cut to `maximumBytes`. The kernel cuts command names at
// a byte count too; when the text reaches that count, a UTF-8 sequence left incomplete at its end is
// dropped.
[[nodiscard]] std::string_view commandName(std::string_view comm, std::size_t maximumBytes);

} // namespace quorvantile::procfs
