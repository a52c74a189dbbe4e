#include "common/Json.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>

namespace quorvantile {
namespace {

struct Inner {
    std::uint64_t big = 0;
    bool operator==(const Inner&) const = default;
    static constexpr auto jsonFields() { return std::tuple {json::field("big", &Inner::big)}; }
};

enum class Colour { red, green };
constexpr std::array<std::pair<Colour, std::string_view>, 2> kColourTexts {
    {{Colour::red, "red"}, {Colour::green, "Green"}}};
constexpr std::span<const std::pair<Colour, std::string_view>> jsonTexts(Colour) { return kColourTexts; }

struct Record {
    std::string zeta;
    std::int64_t alpha = 0;
    double middle = 0;
    std::optional<std::int32_t> maybe;
    std::vector<Inner> inners;
    std::optional<Colour> colour;
    bool operator==(const Record&) const = default;

    static constexpr auto jsonFields()
    {
        return std::tuple {json::field("zeta", &Record::zeta), json::field("alpha", &Record::alpha),
            json::field("middle", &Record::middle), json::field("maybe", &Record::maybe),
            json::field("inners", &Record::inners), json::field("colour", &Record::colour)};
    }
};

TEST(JsonEncoding, KeepsDeclaredOrderOmitsAbsentAndWritesIntegersInFull)
{
    const Record record {"z\"\\\n\x01\x7F\xC3\xA9/", -9223372036854775807LL - 1, 0.1, std::nullopt,
        {{18446744073709551615ULL}}, Colour::green};
    EXPECT_EQ(json::encode(record),
        R"({"zeta":"z\"\\\n\u0001)"
        "\x7F\xC3\xA9"
        R"(/","alpha":-9223372036854775808,"middle":0.1,"inners":[{"big":18446744073709551615}],)"
        R"("colour":"Green"})");
}

TEST(JsonEncoding, DoublesReadBackBitIdentical)
{
    for (const double value : {0.1, 1.0 / 3.0, 5e-324, 1.7976931348623157e308, -0.0, 123456.789012345678}) {
        Record record {"x", 1, value, 7, {}, {}};
        const auto text = json::encode(record);
        ASSERT_TRUE(text.has_value());
        const auto back = json::decode<Record>(*text);
        ASSERT_TRUE(back.has_value()) << *text;
        EXPECT_EQ(std::memcmp(&back->middle, &value, sizeof value), 0) << *text;
    }
}

TEST(JsonEncoding, RefusesNonFiniteDoublesAndInvalidUtf8)
{
    EXPECT_FALSE(json::encode(Record {"x", 1, std::nan(""), {}, {}, {}}));
    EXPECT_FALSE(json::encode(Record {"x", 1, std::numeric_limits<double>::infinity(), {}, {}, {}}));
    EXPECT_FALSE(json::encode(Record {"\xFF", 1, 0, {}, {}, {}}));
}

TEST(JsonDecoding, LooksUpByNameIgnoresUnknownKeysAndReadsNullAsAbsent)
{
    const auto record = json::decode<Record>(
        R"( {"inners":[],"unknown":{"deep":[1,2]},"maybe":null,"middle":2,"alpha":-3,"zeta":"z","colour":"red"} )");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(*record, (Record {"z", -3, 2.0, std::nullopt, {}, Colour::red}));
}

TEST(JsonDecoding, RefusesWrongTypesMissingKeysAndOutOfRangeNumbers)
{
    const char* const refused[] = {
        R"({"zeta":"z","alpha":1,"middle":0,"inners":[]} trailing)",
        R"({"alpha":1,"middle":0,"inners":[]})", // missing key
        R"({"zeta":"z","alpha":"1","middle":0,"inners":[]})", // number as text
        R"({"zeta":"z","alpha":1.5,"middle":0,"inners":[]})", // fraction for an integer
        R"({"zeta":"z","alpha":1e3,"middle":0,"inners":[]})", // exponent for an integer
        R"({"zeta":"z","alpha":9223372036854775808,"middle":0,"inners":[]})", // above int64
        R"({"zeta":"z","alpha":1,"middle":0,"maybe":2147483648,"inners":[]})", // above int32
        R"({"zeta":"z","alpha":1,"middle":0,"maybe":true,"inners":[]})", // Boolean for a number
        R"({"zeta":"z","alpha":1,"middle":0,"inners":[{"big":-1}]})", // negative unsigned
        R"({"zeta":"z","alpha":1,"middle":0,"inners":[{"big":18446744073709551616}]})",
        R"({"zeta":"z","alpha":1,"middle":1e400,"inners":[]})", // overflows to infinity
        R"({"zeta":null,"alpha":1,"middle":0,"inners":[]})", // null for a required key
        R"({"zeta":"z","alpha":1,"middle":0,"inners":[],"colour":"green"})", // enumeration texts are exact
        R"({"zeta":"z","alpha":1,"middle":0,"inners":[],"colour":0})",
        R"([])",
        "",
    };
    for (const char* text : refused) {
        EXPECT_FALSE(json::decode<Record>(text).has_value()) << text;
    }
}

} // namespace
} // namespace quorvantile
