#include "common/JsonDecode.h"

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

TEST(Json, EncodesInDeclaredOrderAndInFullDecodesByNameAndRefusesWhatItCannotRepresent)
{
    const Record record {"z\"\\\n\x01\x7F\xC3\xA9/", -9223372036854775807LL - 1, 0.1, std::nullopt,
        {{18446744073709551615ULL}}, Colour::green};
    EXPECT_EQ(json::encode(record),
        R"({"zeta":"z\"\\\n\u0001)"
        "\x7F\xC3\xA9"
        R"(/","alpha":-9223372036854775808,"middle":0.1,"inners":[{"big":18446744073709551615}],)"
        R"("colour":"Green"})");
    EXPECT_FALSE(json::encode(Record {"x", 1, std::nan(""), {}, {}, {}}));
    EXPECT_FALSE(json::encode(Record {"x", 1, std::numeric_limits<double>::infinity(), {}, {}, {}}));
    EXPECT_FALSE(json::encode(Record {"\xFF", 1, 0, {}, {}, {}}));
    // Doubles read back bit-identical.
    for (const double value : {0.1, 1.0 / 3.0, 5e-324, 1.7976931348623157e308, -0.0, 123456.789012345678}) {
        const auto back = json::decode<Record>(json::encode(Record {"x", 1, value, 7, {}, {}}).value_or(""));
        ASSERT_TRUE(back.has_value()) << value;
        EXPECT_EQ(std::memcmp(&back->middle, &value, sizeof value), 0) << value;
    }
    EXPECT_EQ(
        json::decode<Record>(
            R"( {"inners":[],"unknown":{"deep":[1,2]},"maybe":null,"middle":2,"alpha":-3,"zeta":"z","colour":"red"} )"),
        (Record {"z", -3, 2.0, std::nullopt, {}, Colour::red}));
    const std::string good = R"({"zeta":"z","alpha":1,"middle":0,"inners":[]})";
    ASSERT_TRUE(json::decode<Record>(good).has_value());
    // Each is `good` with one text replaced: trailing text, a missing key, text, fraction or exponent for an
    // integer, beyond int64, int32 or uint64, a negative unsigned, a Boolean for a number, a double that overflows,
    // null for a required key, an enumeration text of another case or as a number.
    const std::pair<std::string, std::string> refused[] = {{"]}", "]} trailing"}, {R"("zeta":"z",)", ""},
        {R"("alpha":1)", R"("alpha":"1")"}, {R"("alpha":1)", R"("alpha":1.5)"}, {R"("alpha":1)", R"("alpha":1e3)"},
        {R"("alpha":1)", R"("alpha":9223372036854775808)"}, {"[]", R"([],"maybe":2147483648)"},
        {"[]", R"([{"big":-1}])"}, {"[]", R"([{"big":18446744073709551616}])"}, {"[]", R"([],"maybe":true)"},
        {R"("middle":0)", R"("middle":1e400)"}, {R"("z")", "null"}, {"[]", R"([],"colour":"green")"},
        {"[]", R"([],"colour":0)"}, {good, "[]"}, {good, ""}};
    for (const auto& [from, to] : refused) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        EXPECT_FALSE(json::decode<Record>(text).has_value()) << text;
    }
}

} // namespace
} // namespace quorvantile
