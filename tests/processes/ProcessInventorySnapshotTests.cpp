#include "processes/ProcessInventorySnapshot.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <limits>

namespace quorvantile {
namespace {

constexpr std::uint32_t kUid = 501;

ProcessInventoryReading reading(std::int32_t pid, std::string name = "Finder")
{
    return {pid, std::move(name), 1'700'000'000, 250'000, 10, 20, 4096};
}

ProcessInventorySnapshot snapshotWith(std::vector<ProcessInventoryReading> readings, double uptime = 10.0)
{
    return {1, uptime, kUid, false, std::move(readings)};
}

TEST(ProcessInventoryReadingValidity, AppliesEveryRule)
{
    EXPECT_TRUE(reading(1).isValid());
    EXPECT_FALSE(reading(0).isValid());
    EXPECT_FALSE(reading(-4).isValid());
    EXPECT_FALSE(reading(5, "").isValid());
    EXPECT_TRUE(reading(5, std::string(128, 'a')).isValid());
    EXPECT_FALSE(reading(5, std::string(129, 'a')).isValid());
    EXPECT_TRUE(reading(5, "Caf\xC3\xA9 \xE2\x98\x95").isValid()) << "non-ASCII names and spaces are fine";
    for (const char* bad : {"a\tb", "a\nb", "a\x7F", "zero\xE2\x80\x8Bwidth", "\xC3(", "\xFF"}) {
        EXPECT_FALSE(reading(5, bad).isValid()) << bad;
    }
    auto noStart = reading(5);
    noStart.startSeconds = 0;
    EXPECT_FALSE(noStart.isValid());
    auto lastMicrosecond = reading(5);
    lastMicrosecond.startMicroseconds = 999'999;
    EXPECT_TRUE(lastMicrosecond.isValid());
    lastMicrosecond.startMicroseconds = 1'000'000;
    EXPECT_FALSE(lastMicrosecond.isValid());
}

TEST(ProcessInventorySnapshotValidity, HeaderRules)
{
    EXPECT_TRUE(snapshotWith({}).isValid(10.0, kUid)) << "an empty list is valid";
    auto version = snapshotWith({});
    version.version = 2;
    EXPECT_FALSE(version.isValid(10.0, kUid));
    for (const double uptime : {-1.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
        EXPECT_FALSE(snapshotWith({}, uptime).isValid(10.0, kUid)) << uptime;
    }
    EXPECT_TRUE(snapshotWith({}, 0.0).isValid(0.0, kUid));
    EXPECT_TRUE(snapshotWith({}, -0.0).isValid(1.0, kUid));
    EXPECT_TRUE(snapshotWith({}, std::numeric_limits<double>::denorm_min()).isValid(1.0, kUid));
    EXPECT_FALSE(snapshotWith({}).isValid(std::numeric_limits<double>::infinity(), kUid));
    EXPECT_FALSE(snapshotWith({}).isValid(std::nan(""), kUid));
    EXPECT_FALSE(snapshotWith({}).isValid(9.999, kUid)) << "finished after now";
    EXPECT_FALSE(snapshotWith({}).isValid(10.0, kUid + 1)) << "another user's list";
}

TEST(ProcessInventorySnapshotValidity, FreshnessWindowIsInclusive)
{
    EXPECT_TRUE(snapshotWith({}, 10.0).isValid(12.0, kUid));
    EXPECT_FALSE(snapshotWith({}, 10.0).isValid(12.000001, kUid));
}

TEST(ProcessInventorySnapshotValidity, ChecksTheCurrentEffectiveUserByDefault)
{
    auto snapshot = snapshotWith({reading(1)});
    snapshot.uid = static_cast<std::uint32_t>(::geteuid());
    EXPECT_TRUE(snapshot.isValid(10.0));
    snapshot.uid += 1;
    EXPECT_FALSE(snapshot.isValid(10.0));
}

TEST(ProcessInventorySnapshotValidity, ReadingsAreBoundedValidAndDistinct)
{
    std::vector<ProcessInventoryReading> readings;
    for (std::int32_t pid = 1; pid <= 512; ++pid) {
        readings.push_back(reading(pid));
    }
    EXPECT_TRUE(snapshotWith(readings).isValid(10.0, kUid));
    readings.push_back(reading(513));
    EXPECT_FALSE(snapshotWith(readings).isValid(10.0, kUid)) << "513 readings";

    EXPECT_FALSE(snapshotWith({reading(3), reading(7), reading(3)}).isValid(10.0, kUid)) << "a repeated pid";
    EXPECT_FALSE(snapshotWith({reading(3), reading(7, "bad\nname")}).isValid(10.0, kUid));

    auto flagged = snapshotWith({reading(3)});
    flagged.incomplete = true;
    flagged.readings[0].residentBytes = 0;
    flagged.readings[0].userTicks = 0;
    EXPECT_TRUE(flagged.isValid(10.0, kUid)) << "the flag and the figures play no part";
}

TEST(ProcessInventoryJson, WritesFieldsInOrderWithIntegersInFull)
{
    ProcessInventorySnapshot snapshot {1, 12.5, 4294967295U, true,
        {{2147483647, "Mail \"x\"", 18446744073709551615ULL, 999'999, 18446744073709551614ULL, 1, 0}}};
    EXPECT_EQ(json::encode(snapshot),
        R"({"version":1,"uptime":12.5,"uid":4294967295,"incomplete":true,"readings":[{"pid":2147483647,)"
        R"("name":"Mail \"x\"","startSeconds":18446744073709551615,"startMicroseconds":999999,)"
        R"("userTicks":18446744073709551614,"systemTicks":1,"residentBytes":0}]})");
    const auto text = json::encode(snapshot);
    ASSERT_TRUE(text);
    EXPECT_EQ(json::decode<ProcessInventorySnapshot>(*text), snapshot);
}

TEST(ProcessInventoryJson, ReadingRequiresEveryKeyAndIgnoresUnknownOnes)
{
    const std::string complete = R"({"residentBytes":3,"systemTicks":2,"userTicks":1,"startMicroseconds":0,)"
                                 R"("startSeconds":9,"name":"n","pid":4,"extra":[1]})";
    EXPECT_EQ(json::decode<ProcessInventoryReading>(complete), (ProcessInventoryReading {4, "n", 9, 0, 1, 2, 3}));
    EXPECT_FALSE(json::decode<ProcessInventoryReading>(
        R"({"systemTicks":2,"userTicks":1,"startMicroseconds":0,"startSeconds":9,"name":"n","pid":4})"));
    EXPECT_FALSE(json::decode<ProcessInventoryReading>(
        R"({"residentBytes":3,"systemTicks":2,"userTicks":1,"startMicroseconds":0,"startSeconds":9,"name":null,"pid":4})"));
    EXPECT_FALSE(json::decode<ProcessInventorySnapshot>(R"({"version":1,"uptime":1,"uid":0,"readings":[]})"))
        << "incomplete is required";
    EXPECT_FALSE(json::decode<ProcessInventorySnapshot>(
        R"({"version":1,"uptime":1,"uid":-1,"incomplete":false,"readings":[]})"));
}

} // namespace
} // namespace quorvantile
