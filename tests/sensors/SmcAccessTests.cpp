#include "sensors/SensorFakes.h"
#include "sensors/SensorHardware.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorvantile {
namespace {

using testing::FakeSmcConnection;
using testing::FakeSmcKey;
using testing::FakeSmcState;
using testing::floatBytes;
using testing::SmcFault;
namespace hardware = SensorHardware;

std::optional<double> numberOf(std::vector<std::uint8_t> bytes, std::string_view type, std::string_view key)
{
    return hardware::number(bytes, type, key);
}

TEST(SmcKeys, PackFirstCharacterIntoTheMostSignificantByte)
{
    EXPECT_EQ(hardware::packedKey("FNum"), 0x464E756DU);
    FakeSmcState state;
    FakeSmcConnection connection(state);
    const auto answer = hardware::exchange(connection, "FNum", kSmcReadKeyInformation, 0);
    ASSERT_EQ(state.calls.size(), 1U);
    EXPECT_EQ(state.calls[0].selector, 2U);
    EXPECT_EQ(state.calls[0].key, "FNum"); // the fake decodes bytes 0 … 3 as "m", "u", "N", "F"
    EXPECT_EQ(answer.output[40], 0x84); // the fake has no such key
}

TEST(SmcExchange, RefusesAnythingButAllowedKeysAndTheTwoReadsWithoutCalling)
{
    FakeSmcState state;
    FakeSmcConnection connection(state);
    EXPECT_EQ(hardware::exchange(connection, "F2Ac", kSmcReadKeyInformation, 0).status, kSmcStatusBadArgument);
    EXPECT_EQ(hardware::exchange(connection, "F0Ac", 6, 2).status, kSmcStatusBadArgument); // a write command
    EXPECT_EQ(hardware::exchange(connection, "F0Ac", kSmcReadKeyBytes, 33).status, kSmcStatusBadArgument);
    EXPECT_TRUE(state.calls.empty());
    EXPECT_EQ(hardware::read(connection, "#KEY"), std::nullopt);
    EXPECT_TRUE(state.calls.empty());
    (void)hardware::exchange(connection, "Tg05", kSmcReadKeyBytes, 32);
    EXPECT_EQ(state.calls.size(), 1U);
}

TEST(SmcLittle32, ReadsWithinBoundsOnly)
{
    const std::vector<std::uint8_t> bytes {1, 2, 3, 4, 5};
    EXPECT_EQ(hardware::little32(bytes, 0), 0x04030201U);
    EXPECT_EQ(hardware::little32(bytes, 1), 0x05040302U);
    EXPECT_EQ(hardware::little32(bytes, 2), std::nullopt);
    EXPECT_EQ(hardware::little32(bytes, std::numeric_limits<std::size_t>::max()), std::nullopt);
}

TEST(SmcNumber, FanCountIsUi8UpToEight)
{
    EXPECT_EQ(numberOf({0x02}, "ui8 ", "FNum"), 2.0);
    EXPECT_EQ(numberOf({0x08}, "ui8 ", "FNum"), 8.0);
    EXPECT_EQ(numberOf({0x09}, "ui8 ", "FNum"), std::nullopt);
    EXPECT_EQ(numberOf(floatBytes(2.0F), "flt ", "FNum"), std::nullopt);
    EXPECT_EQ(numberOf({0x02, 0x00}, "ui8 ", "FNum"), std::nullopt);
}

TEST(SmcNumber, FanSpeedsAreFltOrFpe2UpTo20000)
{
    EXPECT_EQ(numberOf({0x1F, 0x40}, "fpe2", "F0Ac"), 2000.0);
    EXPECT_EQ(numberOf(floatBytes(20'000.0F), "flt ", "F1Ac"), 20'000.0);
    EXPECT_EQ(numberOf(floatBytes(25'000.0F), "flt ", "F0Ac"), std::nullopt);
    EXPECT_EQ(numberOf(floatBytes(-1.0F), "flt ", "F0Ac"), std::nullopt);
    EXPECT_EQ(numberOf({0x1F, 0x40}, "sp78", "F0Ac"), std::nullopt);
}

TEST(SmcNumber, TemperaturesAreSp78OrFltWithinMinus40To150)
{
    EXPECT_EQ(numberOf({0x28, 0x80}, "sp78", "TB1T"), 40.5);
    EXPECT_EQ(numberOf({0xFF, 0x00}, "sp78", "TB1T"), -1.0);
    EXPECT_EQ(numberOf({0x96, 0x00}, "sp78", "TB1T"), std::nullopt); // -106
    EXPECT_EQ(numberOf({0x80, 0x00}, "sp78", "TB1T"), std::nullopt); // -128
    EXPECT_EQ(numberOf({0x28, 0x80}, "fpe2", "TB1T"), std::nullopt);
    EXPECT_EQ(numberOf({0x00, 0x00, 0xC8, 0x42}, "flt ", "Tp01"), 100.0);
    EXPECT_EQ(numberOf(floatBytes(std::numeric_limits<float>::quiet_NaN()), "flt ", "Tp01"), std::nullopt);
    EXPECT_EQ(numberOf(floatBytes(std::numeric_limits<float>::infinity()), "flt ", "Tp01"), std::nullopt);
}

TEST(SmcNumber, ByteCountMustMatchTheType)
{
    EXPECT_EQ(numberOf({0x00, 0x42}, "flt ", "Tp01"), std::nullopt);
    EXPECT_EQ(numberOf({0x28, 0x80, 0, 0}, "sp78", "TB1T"), std::nullopt);
    EXPECT_EQ(numberOf({}, "ui8 ", "FNum"), std::nullopt);
    EXPECT_EQ(numberOf({0x28, 0x80}, "SP78", "TB1T"), std::nullopt);
}

TEST(SmcRead, ReadsTypeAndSizeThenBytes)
{
    FakeSmcState state;
    state.keys["TB1T"] = FakeSmcKey {"sp78", {0x28, 0x80}};
    FakeSmcConnection connection(state);
    EXPECT_EQ(hardware::read(connection, "TB1T"), 40.5);
    ASSERT_EQ(state.calls.size(), 2U);
    EXPECT_EQ(state.calls[0].command, kSmcReadKeyInformation);
    EXPECT_EQ(state.calls[0].size, 0U);
    EXPECT_EQ(state.calls[1].command, kSmcReadKeyBytes);
    EXPECT_EQ(state.calls[1].size, 2U);
}

TEST(SmcRead, NoReadExchangeAfterABadKeyInformationAnswer)
{
    const std::vector<FakeSmcKey> broken {
        {"sp78", {0x28, 0x80}, SmcFault::informationStatus}, {"sp78", {0x28, 0x80}, SmcFault::informationLength},
        {"sp78", {0x28, 0x80}, SmcFault::informationResult}, {"sp78", {0x28, 0x80}, SmcFault::none, 0},
        {"sp78", {0x28, 0x80}, SmcFault::none, 33},
        {"sp\xB7"
         "8",
            {0x28, 0x80}}, // a type name that is not ASCII
    };
    for (const FakeSmcKey& key : broken) {
        FakeSmcState state;
        state.keys["TB1T"] = key;
        FakeSmcConnection connection(state);
        EXPECT_EQ(hardware::read(connection, "TB1T"), std::nullopt) << static_cast<int>(key.fault);
        EXPECT_EQ(state.calls.size(), 1U) << static_cast<int>(key.fault);
    }
}

TEST(SmcRead, BadReadExchangeGivesNoValue)
{
    for (const SmcFault fault : {SmcFault::readStatus, SmcFault::readLength, SmcFault::readResult}) {
        FakeSmcState state;
        state.keys["TB1T"] = FakeSmcKey {"sp78", {0x28, 0x80}, fault};
        FakeSmcConnection connection(state);
        EXPECT_EQ(hardware::read(connection, "TB1T"), std::nullopt) << static_cast<int>(fault);
        EXPECT_EQ(state.calls.size(), 2U);
    }
}

} // namespace
} // namespace quorvantile
