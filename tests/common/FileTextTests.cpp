#include "common/FileText.h"
#include "common/UniqueFd.h"
#include "common/linux/ProcessStat.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <optional>
#include <string>
#include <tuple>

namespace quorvantile {
namespace {

TEST(FileText, WholeFileOrItsStartUpToTheLimitAndNotOneByteMore)
{
    const std::string text(10'000, 'x'); // beyond the first buffer, so the buffer grows
    const UniqueFd file(memfd_create("file-text", MFD_CLOEXEC));
    ASSERT_TRUE(file && writeAll(file.get(), text));
    const std::string path = "/proc/self/fd/" + std::to_string(file.get());
    EXPECT_EQ(readWholeFile(AT_FDCWD, path, text.size()), text);
    errno = 0;
    EXPECT_FALSE(readWholeFile(AT_FDCWD, path, text.size() - 1));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_FALSE(readWholeFile(AT_FDCWD, path + "-missing", 10));

    std::string buffer(50'000, '?'); // a reused, larger buffer: only its start is the text
    EXPECT_EQ(readWholeFile(AT_FDCWD, path.c_str(), text.size(), buffer, FileEnd::shortRead), text);

    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(readFileStart(fd.get(), 5, buffer), "xxxxx"); // the start of a file stops at the limit
    EXPECT_FALSE(readFileStart(-1, 5, buffer));
}

std::string statLine(std::string_view head) // the fields after the start time follow
{
    return std::string(head) + " 10000000 321 18446744073709551615 94 95 96 0 0 0 0 4096 0 0 0 17 1 0 0 0 0 0 1 2 0\n";
}

using Fields =
    std::tuple<std::int32_t, std::string_view, char, std::uint64_t, std::uint64_t, std::int32_t, std::uint64_t>;

std::optional<Fields> fieldsOf(std::string_view text)
{
    const auto stat = procfs::parseStat(text);
    return stat ? std::optional(Fields {stat->pid, stat->comm, stat->state, stat->userTicks, stat->systemTicks,
                      stat->threads, stat->startTicks})
                : std::nullopt;
}

TEST(ProcessStat, TakesTheCommandUpToTheLastParenthesis)
{
    const std::string texts[] = {
        statLine("4711 (bash) S 1 4711 4711 34816 4711 4194560 8000 90000 1 20 250 130 400 500 20 -5 3 0 12345"),
        statLine("9 (a) b (c)\n) d)) Z 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77"),
        statLine("9 () R 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77"),
    }; // the fields point into the text
    EXPECT_EQ(fieldsOf(texts[0]), Fields(4711, "bash", 'S', 250U, 130U, 3, 12345U));
    EXPECT_EQ(fieldsOf(texts[1]), Fields(9, "a) b (c)\n) d)", 'Z', 1U, 2U, 1, 77U));
    EXPECT_EQ(fieldsOf(texts[2]), Fields(9, "", 'R', 1U, 2U, 1, 77U));
    for (const std::string& text : {
             std::string("9 (x"),
             std::string("9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0\n"), // ends before the start time
             statLine("x9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77"),
             statLine("9 (x) SS 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77"),
             statLine("9 (x) S 1 9 9 0 -1 0 0 0 0 0 -1 2 0 0 20 0 1 0 77"), // negative ticks
             statLine("9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 7x"),
             statLine("9 (x) S 1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 2147483648 0 77"), // threads beyond int32
             statLine("9 (x) S  1 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 77"), // an empty field
         }) {
        EXPECT_FALSE(procfs::parseStat(text)) << text;
    }
}

} // namespace
} // namespace quorvantile
