// The pieces the macOS registry and SMC stand on, run here: property-list values mapped to registry
// values, the number text of a registry value, and the parameter block as the platform lays it out.
#include "common/FakePropertyValue.h"
#include "sensors/Registry.h"
#include "sensors/RegistryPropertyValue.h"
#include "sensors/SensorHardware.h"
#include "sensors/SmcParameterBlock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace quorvantile {
namespace {

using testing::FakePropertyValue;

TEST(RegistryPropertyValue, ScalarsKeepTheirKindAndWhatHasNoFormIsMissing)
{
    const std::vector<std::tuple<const char*, FakePropertyValue, std::optional<RegistryValue>>> cases = {
        // A Boolean stays a Boolean: "BatteryPercent" true must never read as the number 1.
        {"Boolean", FakePropertyValue(true), RegistryValue(true)},
        {"integer", FakePropertyValue(std::int64_t {-42}), RegistryValue(std::int64_t {-42})},
        {"integer beyond 64 bits", FakePropertyValue(FakePropertyValue::WideInteger {}), std::nullopt},
        {"floating number", FakePropertyValue(4500.5), RegistryValue(4500.5)},
        {"text", FakePropertyValue("USB"), RegistryValue(std::string("USB"))},
        {"empty text", FakePropertyValue(""), RegistryValue(std::string())},
        {"text without UTF-8", FakePropertyValue(FakePropertyValue::Unconvertible {}), std::nullopt},
        {"data or array", FakePropertyValue(FakePropertyValue::Other {}), std::nullopt},
    };
    for (const auto& [name, value, expected] : cases) {
        EXPECT_EQ(registryValue(value), expected) << name;
    }
}

TEST(RegistryPropertyValue, DictionaryKeepsTextKeyedScalarsOnly)
{
    const auto nested = FakePropertyValue::dictionary({{"Inner", FakePropertyValue(std::int64_t {1})}});
    const auto data = FakePropertyValue::dictionary({
        {"DesignCapacity", FakePropertyValue(std::int64_t {5000})},
        {"NominalChargeCapacity", FakePropertyValue(4500.0)},
        {"Charging", FakePropertyValue(false)},
        {"Serial", FakePropertyValue("D865")},
        {"Nested", nested},
        {FakePropertyValue(std::int64_t {7}), FakePropertyValue("number key")},
        {"Unconvertible", FakePropertyValue(FakePropertyValue::Unconvertible {})},
        {FakePropertyValue(FakePropertyValue::Unconvertible {}), FakePropertyValue(true)},
        {"Data", FakePropertyValue(FakePropertyValue::Other {})},
    });
    const RegistryDictionary expected {
        {"DesignCapacity", std::int64_t {5000}},
        {"NominalChargeCapacity", 4500.0},
        {"Charging", false},
        {"Serial", std::string("D865")},
    };
    EXPECT_EQ(registryValue(data), RegistryValue(expected));
    EXPECT_EQ(registryValue(FakePropertyValue::dictionary({})), RegistryValue(RegistryDictionary {}));
}

TEST(RegistryNumberText, IntegersAsDigitsOtherNumbersAsTheirShortestTextNothingElse)
{
    const std::vector<std::tuple<RegistryValue, std::optional<std::string>>> cases = {
        {std::int64_t {100}, "100"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {100000.0, "100000"}, // never "1e+05"
        {1e20, "100000000000000000000"},
        {18446744073709551615.0, "18446744073709551616"}, // 2^64, exactly as the double holds it
        {-0.0, "-0"},
        {55.5, "55.5"},
        {0.1, "0.1"},
        {1e-7, "1e-07"},
        {std::numeric_limits<double>::infinity(), std::nullopt},
        {std::nan(""), std::nullopt},
        {true, std::nullopt},
        {std::string("55"), std::nullopt},
        {RegistryDictionary {}, std::nullopt},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(numberText(value), expected) << numberText(value).value_or("(none)");
    }
}

// A user client that answers like the platform's: it reads the request as the structure and
// writes the answer into the structure.
struct PlatformShapedConnection final : SmcConnection {
    std::vector<SmcParameterBlock> requests;
    SmcParameterBlock answer {};

    std::int32_t callStructMethod(std::uint32_t selector, std::span<const std::uint8_t> input,
        std::span<std::uint8_t> output, std::size_t& outputLength) override
    {
        if (selector != kSmcSelector || input.size() != sizeof(SmcParameterBlock) ||
            outputLength != sizeof(SmcParameterBlock)) {
            return kSmcStatusBadArgument;
        }
        SmcParameterBlock request;
        std::memcpy(&request, input.data(), sizeof request);
        requests.push_back(request);
        SmcParameterBlock reply = answer;
        reply.key = request.key;
        std::memcpy(output.data(), &reply, sizeof reply);
        return 0;
    }
};

TEST(SmcParameterBlockLayout, TheBytesTheReadersWriteAndReadAreThePlatformsFields)
{
    PlatformShapedConnection connection;
    connection.answer.keyInformation.dataSize = 2;
    connection.answer.keyInformation.dataType = smc::packedCode("sp78");
    connection.answer.bytes[0] = 0x28;
    connection.answer.bytes[1] = 0x80;
    EXPECT_EQ(SensorHardware::read(connection, "TB1T"), 40.5);

    ASSERT_EQ(connection.requests.size(), 2U);
    for (const auto& request : connection.requests) {
        EXPECT_EQ(request.key, smc::packedCode("TB1T"));
        EXPECT_EQ(request.keyInformation.dataType, 0U);
        EXPECT_EQ(request.result, 0);
        EXPECT_EQ(request.data32, 0U);
    }
    EXPECT_EQ(connection.requests[0].command, kSmcReadKeyInformation);
    EXPECT_EQ(connection.requests[0].keyInformation.dataSize, 0U);
    EXPECT_EQ(connection.requests[1].command, kSmcReadKeyBytes);
    EXPECT_EQ(connection.requests[1].keyInformation.dataSize, 2U);

    // The SMC's failure in the structure's result field ends the read.
    connection.answer.result = 0x84;
    EXPECT_EQ(SensorHardware::read(connection, "TB1T"), std::nullopt);
}

} // namespace
} // namespace quorvantile
