#include "common/Numbers.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvantile::text {
namespace {

TEST(Numbers, DecimalsWholeTextSignOnlyWhereAllowedInTheTypesRangeAndHexadecimalBytes)
{
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

    EXPECT_EQ(hexadecimal(std::array<std::uint8_t, 4> {0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
    EXPECT_EQ(hexadecimal({}), "");
}

} // namespace
} // namespace quorvantile::text
