#include "common/Numbers.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvantile::text {
namespace {

TEST(NumbersDecimal, WholeTextSignOnlyWhereAllowedAndRangeOfTheType)
{
    struct Case {
        std::string_view text;
        std::optional<std::int64_t> withoutSign;
        std::optional<std::int64_t> withSign;
    };
    const Case cases[] = {
        {"0", 0, 0},
        {"007", 7, 7},
        {"9223372036854775807", INT64_MAX, INT64_MAX},
        {"9223372036854775808", std::nullopt, std::nullopt},
        {"-9223372036854775808", std::nullopt, INT64_MIN},
        {"-9223372036854775809", std::nullopt, std::nullopt},
        {"+5", std::nullopt, 5},
        {"-5", std::nullopt, -5},
        {"+-5", std::nullopt, std::nullopt},
        {"--5", std::nullopt, std::nullopt},
        {"-", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {" 5", std::nullopt, std::nullopt},
        {"5 ", std::nullopt, std::nullopt},
        {"5.0", std::nullopt, std::nullopt},
        {"1e3", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(parseDecimal<std::int64_t>(row.text), row.withoutSign) << row.text;
        EXPECT_EQ(parseDecimal<std::int64_t>(row.text, Sign::allowed), row.withSign) << row.text;
    }
    EXPECT_EQ(parseDecimal<std::uint64_t>("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parseDecimal<std::uint64_t>("-0", Sign::allowed), 0U);
    EXPECT_FALSE(parseDecimal<std::uint64_t>("-1", Sign::allowed));
    EXPECT_EQ(parseDecimal<std::int32_t>("-2147483648", Sign::allowed), INT32_MIN);
    EXPECT_FALSE(parseDecimal<std::int32_t>("2147483648"));
}

TEST(NumbersHexadecimal, TwoLowercaseDigitsAByteInOrder)
{
    const std::array<std::uint8_t, 4> bytes {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(hexadecimal(bytes), "000fa0ff");
    EXPECT_EQ(hexadecimal({}), "");
}

} // namespace
} // namespace quorvantile::text
