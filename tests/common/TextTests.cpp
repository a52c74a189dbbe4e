#include "common/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvantile {
namespace {

TEST(TextNames, LengthBoundsAndControlCharacters)
{
    EXPECT_TRUE(text::isValidName(std::string(128, 'a')));
    EXPECT_FALSE(text::isValidName(std::string(129, 'a')));
    EXPECT_FALSE(text::isValidName(""));
    EXPECT_TRUE(text::isValidName("Caf\xC3\xA9 \xE2\x80\x94 M1")); // é and an em dash
    EXPECT_FALSE(text::isValidName("a\tb"));
    EXPECT_FALSE(text::isValidName("a\nb"));
    EXPECT_FALSE(text::isValidName("a\xE2\x80\x8B"
                                   "b")); // U+200B, category Cf
    EXPECT_FALSE(text::isValidName("a\xC2\x85")); // U+0085, category Cc
    EXPECT_FALSE(text::isValidName("\xC3")); // truncated sequence
    EXPECT_FALSE(text::isValidName("\xED\xA0\x80")); // a surrogate
}

TEST(TextBlank, WhiteSpacePropertyOnly)
{
    EXPECT_TRUE(text::isBlank(""));
    EXPECT_TRUE(text::isBlank(" \t\r\n\xC2\xA0\xE3\x80\x80\xE2\x80\xA8")); // NBSP, ideographic space, U+2028
    EXPECT_FALSE(text::isBlank(" x "));
    EXPECT_FALSE(text::isBlank("\xE2\x80\x8B")); // U+200B is a format character, not white space
}

TEST(TextLossyDecoding, ReplacesEachMaximalInvalidSubpart)
{
    EXPECT_EQ(text::decodeUtf8Lossy("Intel(R) Core"), "Intel(R) Core");
    EXPECT_EQ(text::decodeUtf8Lossy("a\xFF"
                                    "b"),
        "a\xEF\xBF\xBD"
        "b");
    EXPECT_EQ(text::decodeUtf8Lossy("\xE2\x82"
                                    "A"),
        "\xEF\xBF\xBD"
        "A"); // one replacement for E2 82
    EXPECT_EQ(text::decodeUtf8Lossy("\xE0\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"); // overlong
    EXPECT_EQ(text::decodeUtf8Lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_TRUE(text::isValidUtf8(text::decodeUtf8Lossy("\xC0\xAF\xF5\xED\xA0\x80")));
}

} // namespace
} // namespace quorvantile
