#include "common/Numbers.h"
#include "common/Text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quorvantile::text {
namespace {

TEST(Text, NamesBlanksLossyDecodingAndDecimals)
{
    EXPECT_TRUE(isValidName(std::string(128, 'a')));
    EXPECT_TRUE(isValidName("Caf\xC3\xA9 \xE2\x80\x94 M1")); // é and an em dash
    // Too long, empty, control characters, U+200B (Cf), U+0085 (Cc), a truncated sequence, a surrogate.
    for (const std::string& bad :
        {std::string(129, 'a'), std::string(), std::string("a\tb"), std::string("a\nb"), std::string("a\xE2\x80\x8Bz"),
            std::string("a\xC2\x85"), std::string("\xC3"), std::string("\xED\xA0\x80")}) {
        EXPECT_FALSE(isValidName(bad)) << bad;
    }

    EXPECT_TRUE(isBlank(""));
    EXPECT_TRUE(isBlank(" \t\r\n\xC2\x85\xC2\xA0\xE3\x80\x80\xE2\x80\xA8")); // NEL, NBSP, ideographic space, U+2028
    EXPECT_FALSE(isBlank(" x "));
    EXPECT_FALSE(isBlank("\xE2\x80\x8B")); // U+200B is a format character, not white space

    // Each maximal invalid subpart becomes one replacement character.
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(decodeUtf8Lossy("Intel(R) Core"), "Intel(R) Core");
    EXPECT_EQ(decodeUtf8Lossy("a\xFFz"), "a" + replacement + "z");
    EXPECT_EQ(decodeUtf8Lossy("\xE2\x82z"), replacement + "z"); // E2 82 is one subpart
    EXPECT_EQ(decodeUtf8Lossy("\xE0\x80\x80"), replacement + replacement + replacement); // overlong
    EXPECT_EQ(decodeUtf8Lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_TRUE(isValidUtf8(decodeUtf8Lossy("\xC0\xAF\xF5\xED\xA0\x80\xF4\x90\x80\x80"))); // ends above U+10FFFF
    const std::optional<std::int64_t> no;
    const struct {
        std::string_view text;
        std::optional<std::int64_t> withoutSign, withSign;
    } cases[] = {{"0", 0, 0}, {"007", 7, 7}, {"9223372036854775807", INT64_MAX, INT64_MAX},
        {"9223372036854775808", no, no}, {"-9223372036854775808", no, INT64_MIN}, {"-9223372036854775809", no, no},
        {"+5", no, 5}, {"-5", no, -5}, {"+-5", no, no}, {"--5", no, no}, {"-", no, no}, {"", no, no}, {" 5", no, no},
        {"5 ", no, no}, {"5.0", no, no}, {"1e3", no, no}, {"0x10", no, no}};
    for (const auto& row : cases) {
        EXPECT_EQ(parseDecimal<std::int64_t>(row.text), row.withoutSign) << row.text;
        EXPECT_EQ(parseDecimal<std::int64_t>(row.text, Sign::allowed), row.withSign) << row.text;
    }
    EXPECT_EQ(parseDecimal<std::uint64_t>("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parseDecimal<std::uint64_t>("-0", Sign::allowed), 0U);
    EXPECT_FALSE(parseDecimal<std::uint64_t>("-1", Sign::allowed));
    EXPECT_EQ(parseDecimal<std::int32_t>("-2147483648", Sign::allowed), INT32_MIN);
    EXPECT_FALSE(parseDecimal<std::int32_t>("2147483648"));
}

} // namespace
} // namespace quorvantile::text
