#include "common/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvantile {
namespace {

TEST(Text, NamesBlanksAndLossyDecoding)
{
    EXPECT_TRUE(text::isValidName(std::string(128, 'a')));
    EXPECT_TRUE(text::isValidName("Caf\xC3\xA9 \xE2\x80\x94 M1")); // é and an em dash
    // Too long, empty, control characters, U+200B (Cf), U+0085 (Cc), a truncated sequence, a surrogate.
    for (const std::string& bad :
        {std::string(129, 'a'), std::string(), std::string("a\tb"), std::string("a\nb"), std::string("a\xE2\x80\x8Bz"),
            std::string("a\xC2\x85"), std::string("\xC3"), std::string("\xED\xA0\x80")}) {
        EXPECT_FALSE(text::isValidName(bad)) << bad;
    }

    EXPECT_TRUE(text::isBlank(""));
    EXPECT_TRUE(text::isBlank(" \t\r\n\xC2\xA0\xE3\x80\x80\xE2\x80\xA8")); // NBSP, ideographic space, U+2028
    EXPECT_FALSE(text::isBlank(" x "));
    EXPECT_FALSE(text::isBlank("\xE2\x80\x8B")); // U+200B is a format character, not white space

    // Each maximal invalid subpart becomes one replacement character.
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(text::decodeUtf8Lossy("Intel(R) Core"), "Intel(R) Core");
    EXPECT_EQ(text::decodeUtf8Lossy("a\xFFz"), "a" + replacement + "z");
    EXPECT_EQ(text::decodeUtf8Lossy("\xE2\x82z"), replacement + "z"); // E2 82 is one subpart
    EXPECT_EQ(text::decodeUtf8Lossy("\xE0\x80\x80"), replacement + replacement + replacement); // overlong
    EXPECT_EQ(text::decodeUtf8Lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_TRUE(text::isValidUtf8(text::decodeUtf8Lossy("\xC0\xAF\xF5\xED\xA0\x80")));
}

} // namespace
} // namespace quorvantile
