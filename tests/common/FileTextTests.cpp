#include "common/FileText.h"

#include "common/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace quorvantile {
namespace {

// A temporary file with the given contents, removed after the test.
class SmallFile : public ::testing::Test {
protected:
    void write(const std::string& contents)
    {
        path_ = std::string(::testing::TempDir()) + "file-text-XXXXXX";
        const UniqueFd fd(mkstemp(path_.data()));
        ASSERT_TRUE(fd && writeAll(fd.get(), contents));
    }
    void TearDown() override { unlink(path_.c_str()); }
    std::string path_;
};

TEST_F(SmallFile, WholeFileOrItsStartUpToTheLimitAndNotOneByteMore)
{
    const std::string text(10'000, 'x'); // beyond the first buffer, so the buffer grows
    write(text);
    EXPECT_EQ(readWholeFile(AT_FDCWD, path_, text.size()), text);
    errno = 0;
    EXPECT_FALSE(readWholeFile(AT_FDCWD, path_, text.size() - 1));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_FALSE(readWholeFile(AT_FDCWD, path_ + "-missing", 10));

    std::string buffer(50'000, '?'); // a reused, larger buffer: only its start is the text
    EXPECT_EQ(readWholeFile(AT_FDCWD, path_.c_str(), text.size(), buffer, FileEnd::shortRead), text);

    const UniqueFd fd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(readFileStart(fd.get(), 5, buffer), "xxxxx"); // the start of a file stops at the limit
    EXPECT_FALSE(readFileStart(-1, 5, buffer));
}

} // namespace
} // namespace quorvantile
