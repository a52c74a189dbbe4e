#include "processes/linux/ProcfsText.h"

#include "common/Numbers.h"
#include "processes/ProcessTable.h"

#include <limits>

namespace quorvantile::procfs {
namespace {

constexpr std::uint64_t kKibibyte = 1024;

template<typename Integer> bool parseInto(std::string_view text, Integer& out)
{
    const auto value = text::parseDecimal<Integer>(text);
    if (value) {
        out = *value;
    }
    return value.has_value();
}

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The value of the line "<key><separator>value" in a text of such lines, or nothing when absent.
std::optional<std::string_view> lineValue(std::string_view text, std::string_view key, char separator)
{
    std::size_t position = 0;
    while (position < text.size()) {
        auto end = text.find('\n', position);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(position, end - position);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == separator) {
            return trim(line.substr(key.size() + 1));
        }
        position = end + 1;
    }
    return std::nullopt;
}

// "1234 kB" as bytes.
std::optional<std::uint64_t> parseKibibytes(std::string_view text)
{
    if (!text.ends_with(" kB")) {
        return std::nullopt;
    }
    const auto kibibytes = text::parseDecimal<std::uint64_t>(trim(text.substr(0, text.size() - 3)));
    if (!kibibytes || *kibibytes > std::numeric_limits<std::uint64_t>::max() / kKibibyte) {
        return std::nullopt;
    }
    return *kibibytes * kKibibyte;
}

// An optional "<key>:\t1234 kB" line: absent reads as 0, present must be well-formed.
bool readKibibyteLine(std::string_view text, std::string_view key, std::uint64_t& out)
{
    const auto value = lineValue(text, key, ':');
    if (!value) {
        out = 0;
        return true;
    }
    const auto bytes = parseKibibytes(*value);
    out = bytes.value_or(0);
    return bytes.has_value();
}

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The length of the UTF-8 sequence that `lead` begins, or 0 when it begins none.
std::size_t sequenceLength(char lead)
{
    const auto byte = static_cast<unsigned char>(lead);
    if (byte < 0x80) {
        return 1;
    }
    if (byte >= 0xC0 && byte < 0xE0) {
        return 2;
    }
    if (byte >= 0xE0 && byte < 0xF0) {
        return 3;
    }
    if (byte >= 0xF0 && byte < 0xF8) {
        return 4;
    }
    return 0;
}

constexpr std::size_t kLongestSequenceBytes = 4;

} // namespace

std::optional<std::int32_t> parsePid(std::string_view name)
{
    if (name.starts_with('0')) {
        return std::nullopt;
    }
    return text::parseDecimal<std::int32_t>(name);
}

std::optional<std::uint64_t> parseStatmResidentPages(std::string_view text)
{
    // "size resident shared text lib data dt"
    const auto first = text.find(' ');
    if (first == std::string_view::npos || !text::parseDecimal<std::uint64_t>(text.substr(0, first))) {
        return std::nullopt;
    }
    const std::string_view rest = text.substr(first + 1);
    const auto end = rest.find(' ');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return text::parseDecimal<std::uint64_t>(rest.substr(0, end));
}

std::optional<StatusFields> parseStatus(std::string_view text)
{
    StatusFields fields;
    if (!readKibibyteLine(text, "RssAnon", fields.anonymousResidentBytes) ||
        !readKibibyteLine(text, "VmSwap", fields.swappedBytes)) {
        return std::nullopt;
    }
    return fields;
}

std::optional<IoFields> parseIo(std::string_view text)
{
    const auto read = lineValue(text, "read_bytes", ':');
    const auto written = lineValue(text, "write_bytes", ':');
    IoFields fields;
    if (!read || !written || !parseInto(*read, fields.readBytes) || !parseInto(*written, fields.writeBytes)) {
        return std::nullopt;
    }
    return fields;
}

std::optional<std::uint64_t> parseBootTime(std::string_view text)
{
    const auto value = lineValue(text, "btime", ' ');
    return value ? text::parseDecimal<std::uint64_t>(*value) : std::nullopt;
}

std::uint32_t bsdStatus(char state)
{
    switch (state) {
    case 'R':
        return kProcessStatusRunning;
    case 'T':
    case 't':
        return kProcessStatusStopped;
    case 'Z':
    case 'X':
        return kProcessStatusZombie;
    default: // S, D, I and the letters of older kernels: waiting in some way
        return kProcessStatusSleeping;
    }
}

std::uint64_t ticksToNanoseconds(std::uint64_t ticks, std::uint64_t ticksPerSecond)
{
    constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;
    if (ticksPerSecond == 0) {
        return 0;
    }
    const std::uint64_t whole = ticks / ticksPerSecond;
    const std::uint64_t fraction = (ticks % ticksPerSecond) * kNanosecondsPerSecond / ticksPerSecond;
    std::uint64_t nanoseconds = 0;
    if (__builtin_mul_overflow(whole, kNanosecondsPerSecond, &nanoseconds) ||
        __builtin_add_overflow(nanoseconds, fraction, &nanoseconds)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return nanoseconds;
}

StartTime startTime(std::uint64_t bootSeconds, std::uint64_t startTicks, std::uint64_t ticksPerSecond)
{
    constexpr std::uint64_t kMicrosecondsPerSecond = 1'000'000;
    if (ticksPerSecond == 0) {
        return {};
    }
    return {
        .seconds = bootSeconds + startTicks / ticksPerSecond,
        .microseconds = (startTicks % ticksPerSecond) * kMicrosecondsPerSecond / ticksPerSecond,
    };
}

std::string_view executableName(std::string_view linkTarget, std::size_t maximumBytes)
{
    constexpr std::string_view kDeletedMark = " (deleted)";
    if (linkTarget.ends_with(kDeletedMark)) {
        linkTarget.remove_suffix(kDeletedMark.size());
    }
    const auto slash = linkTarget.rfind('/');
    std::string_view name = slash == std::string_view::npos ? linkTarget : linkTarget.substr(slash + 1);
    if (name.size() <= maximumBytes) {
        return name;
    }
    // Back off to the start of a sequence that the cut would split.
    std::size_t cut = maximumBytes;
    while (cut > 0 && maximumBytes - cut < kLongestSequenceBytes - 1 && isContinuationByte(name[cut])) {
        --cut;
    }
    return name.substr(0, cut);
}

std::string_view commandName(std::string_view comm, std::size_t maximumBytes)
{
    if (comm.size() < maximumBytes) {
        return comm;
    }
    comm = comm.substr(0, maximumBytes);
    // Find the last lead byte; drop its sequence when the cut left it short.
    std::size_t lead = comm.size();
    while (lead > 0 && comm.size() - lead < kLongestSequenceBytes) {
        --lead;
        if (!isContinuationByte(comm[lead])) {
            const std::size_t length = sequenceLength(comm[lead]);
            return length > comm.size() - lead ? comm.substr(0, lead) : comm;
        }
    }
    return comm;
}

} // namespace quorvantile::procfs
