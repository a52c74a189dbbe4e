#include "processes/ProcessDetailHardware.h"

#include "FakeProcessTable.h"

#include <gtest/gtest.h>

namespace quorvantile {
namespace {

using testing::FakeProcessTable;
using testing::ManualClock;
using testing::taskOf;

constexpr std::uint32_t kUid = 501;
constexpr std::int32_t kPid = 812;
constexpr ProcessDetailRequest kRequest {kPid, 1'700'000'000, 250'000};

ProcessUsageInfo usageSample(std::uint64_t footprint)
{
    ProcessUsageInfo info {};
    info.ri_uuid = {0x00, 0x01, 0x0a, 0xff, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xcd};
    info.ri_phys_footprint = footprint;
    info.ri_proc_start_abstime = 123'456'789;
    info.ri_proc_exit_abstime = 0;
    info.ri_diskio_bytesread = footprint + 1;
    info.ri_diskio_byteswritten = footprint + 2;
    return info;
}

class ProcessDetailReader : public ::testing::Test {
protected:
    FakeProcessTable table;
    ManualClock clock {80.0};
    ProcessUsageInfo first = usageSample(1000);
    ProcessUsageInfo second = usageSample(2000);

    void SetUp() override
    {
        table.euid = kUid;
        table.tasks[kPid] = taskOf(kPid, kUid, "Mail", 4096, kRequest.startSeconds, kRequest.startMicroseconds);
        table.tasks[kPid].ptinfo.pti_threadnum = 17;
    }

    ProcessDetailReading readOne(int firstResult = 0, int secondResult = 0)
    {
        table.usages[kPid] = {{firstResult, first}, {secondResult, second}};
        const std::vector<ProcessDetailRequest> requests {kRequest};
        const ProcessDetailSnapshot snapshot = ProcessDetailHardware::snapshot(requests, table, clock);
        EXPECT_EQ(snapshot.readings.size(), 1U);
        return snapshot.readings.empty() ? ProcessDetailReading {} : snapshot.readings.front();
    }

    static bool isEmpty(const ProcessDetailReading& reading)
    {
        ProcessDetailReading empty;
        empty.request = kRequest;
        return reading == empty;
    }
};

TEST_F(ProcessDetailReader, FillsAVerifiedReadingFromTheRightSamples)
{
    const ProcessDetailReading reading = readOne();
    EXPECT_EQ(reading.request, kRequest);
    EXPECT_EQ(reading.startAbsolute, 123'456'789U);
    EXPECT_EQ(reading.executableUUID, "00010aff102030405060708090a0b0cd");
    EXPECT_EQ(reading.physicalFootprint, 2000U) << "figures come from the second usage sample";
    EXPECT_EQ(reading.diskReadBytes, 2001U);
    EXPECT_EQ(reading.diskWriteBytes, 2002U);
    EXPECT_EQ(reading.threads, 17);
    EXPECT_EQ(table.calls, (std::vector<std::string> {"bsd 812", "usage 812", "task 812", "usage 812"}));
}

TEST_F(ProcessDetailReader, AnIdentityMismatchStopsAfterTheFirstCall)
{
    const auto expectEmptyAfterOneCall = [this](const char* what) {
        table.calls.clear();
        EXPECT_TRUE(isEmpty(readOne())) << what;
        EXPECT_EQ(table.calls, (std::vector<std::string> {"bsd 812"})) << what;
    };
    auto& bsd = table.tasks[kPid].pbsd;
    const ProcessBsdInfo original = bsd;

    table.bsdResult[kPid] = 135;
    expectEmptyAfterOneCall("short BSD record");
    table.bsdResult.erase(kPid);

    bsd.pbi_pid = kPid + 1;
    expectEmptyAfterOneCall("another pid answered");
    bsd = original;
    bsd.pbi_uid = 0;
    expectEmptyAfterOneCall("another user");
    bsd = original;
    bsd.pbi_start_tvsec += 1;
    expectEmptyAfterOneCall("started another second");
    bsd = original;
    bsd.pbi_start_tvusec += 1;
    expectEmptyAfterOneCall("started a microsecond later");
    bsd = original;

    table.euid = kUid + 1;
    expectEmptyAfterOneCall("we run as another user now");
    table.euid = kUid;

    table.tasks.erase(kPid);
    expectEmptyAfterOneCall("the process is gone");
}

TEST_F(ProcessDetailReader, TakesAllThreeSamplesBeforeJudgingThem)
{
    table.calls.clear();
    EXPECT_TRUE(isEmpty(readOne(-1, 0)));
    EXPECT_EQ(table.calls, (std::vector<std::string> {"bsd 812", "usage 812", "task 812", "usage 812"}));
    EXPECT_TRUE(isEmpty(readOne(0, -1)));
    EXPECT_TRUE(isEmpty(readOne(0, 1)));
}

TEST_F(ProcessDetailReader, TheTaskSampleMustBeCompleteAndOfTheSameProcess)
{
    table.taskResult[kPid] = 136;
    EXPECT_TRUE(isEmpty(readOne()));
    table.taskResult.erase(kPid);

    // The BSD answer comes from the same record, so change it only once the task call is made.
    const auto changeAtTaskCall = [this](const std::function<void(ProcessBsdInfo&)>& change) {
        table.tasks[kPid] = taskOf(kPid, kUid, "Mail", 4096, kRequest.startSeconds, kRequest.startMicroseconds);
        table.beforeTask = [this, change](std::int32_t pid) { change(table.tasks[pid].pbsd); };
        const bool empty = isEmpty(readOne());
        table.beforeTask = nullptr;
        table.tasks[kPid] = taskOf(kPid, kUid, "Mail", 4096, kRequest.startSeconds, kRequest.startMicroseconds);
        return empty;
    };
    EXPECT_TRUE(changeAtTaskCall([](ProcessBsdInfo& bsd) { bsd.pbi_start_tvusec += 1; })) << "replaced meanwhile";
    EXPECT_TRUE(changeAtTaskCall([](ProcessBsdInfo& bsd) { bsd.pbi_start_tvsec += 1; }));
    EXPECT_TRUE(changeAtTaskCall([](ProcessBsdInfo& bsd) { bsd.pbi_pid += 1; }));
    EXPECT_TRUE(changeAtTaskCall([](ProcessBsdInfo& bsd) { bsd.pbi_uid = 0; })) << "changed owner meanwhile";
    EXPECT_FALSE(changeAtTaskCall([](ProcessBsdInfo& bsd) { bsd.pbi_status = kProcessStatusRunning; }));

    table.tasks[kPid].ptinfo.pti_threadnum = -1;
    EXPECT_TRUE(isEmpty(readOne()));
    table.tasks[kPid].ptinfo.pti_threadnum = 0;
    EXPECT_EQ(readOne().threads, 0);
}

TEST_F(ProcessDetailReader, TheUsageSamplesMustAgree)
{
    first.ri_proc_start_abstime = second.ri_proc_start_abstime = 0;
    EXPECT_TRUE(isEmpty(readOne())) << "no start time";
    first = usageSample(1000);
    second = usageSample(2000);

    second.ri_proc_start_abstime += 1;
    EXPECT_TRUE(isEmpty(readOne())) << "start times differ";
    second = usageSample(2000);

    first.ri_proc_exit_abstime = 5;
    EXPECT_TRUE(isEmpty(readOne())) << "exited before the first sample";
    first = usageSample(1000);
    second.ri_proc_exit_abstime = 5;
    EXPECT_TRUE(isEmpty(readOne())) << "exited before the second sample";
    second = usageSample(2000);

    second.ri_uuid[15] ^= 1;
    EXPECT_TRUE(isEmpty(readOne())) << "another executable";
    second = usageSample(2000);

    EXPECT_FALSE(isEmpty(readOne()));
}

TEST_F(ProcessDetailReader, ReadingsFollowTheRequestsAndUptimeFollowsTheLastReading)
{
    table.tasks[5] = taskOf(5, kUid, "other", 1, 1'600'000'000, 0);
    table.usages[5] = {{0, usageSample(7)}, {0, usageSample(8)}};
    table.usages[kPid] = {{0, first}, {0, second}};
    table.beforeTask = [this](std::int32_t) { clock.advance(0.5); };
    const std::vector<ProcessDetailRequest> requests {{99, 1, 0}, kRequest, {5, 1'600'000'000, 0}, {kPid, 1, 0}};
    const ProcessDetailSnapshot snapshot = ProcessDetailHardware::snapshot(requests, table, clock);
    EXPECT_EQ(snapshot.version, 1);
    EXPECT_DOUBLE_EQ(snapshot.uptime, 81.0);
    ASSERT_EQ(snapshot.readings.size(), 4U);
    for (std::size_t index = 0; index < requests.size(); ++index) {
        EXPECT_EQ(snapshot.readings[index].request, requests[index]);
    }
    EXPECT_FALSE(snapshot.readings[0].threads);
    EXPECT_EQ(snapshot.readings[1].physicalFootprint, 2000U);
    EXPECT_EQ(snapshot.readings[2].physicalFootprint, 8U);
    EXPECT_FALSE(snapshot.readings[3].threads) << "same pid, other start time";
}

TEST(ProcessDetailJson, AnEmptyReadingHoldsOnlyItsRequest)
{
    ProcessDetailSnapshot snapshot {1, 3.25, {}};
    snapshot.readings.emplace_back().request = {7, 8, 9};
    EXPECT_EQ(json::encode(snapshot),
        R"({"version":1,"uptime":3.25,"readings":[{"request":{"pid":7,"startSeconds":8,"startMicroseconds":9}}]})");
}

TEST(ProcessDetailJson, AFullReadingWritesEveryFieldInOrderAndReadsBack)
{
    const ProcessDetailReading reading {{7, 8, 9}, 18446744073709551615ULL, std::string(32, 'a'), 1, 2, 3, 2147483647};
    const auto text = json::encode(reading);
    EXPECT_EQ(text,
        R"({"request":{"pid":7,"startSeconds":8,"startMicroseconds":9},"startAbsolute":18446744073709551615,)"
        R"("executableUUID":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","physicalFootprint":1,"diskReadBytes":2,)"
        R"("diskWriteBytes":3,"threads":2147483647})");
    ASSERT_TRUE(text);
    EXPECT_EQ(json::decode<ProcessDetailReading>(*text), reading);
}

TEST(ProcessDetailJson, OptionalKeysMayBeMissingOrNullButTheRequestMayNot)
{
    const auto reading = json::decode<ProcessDetailReading>(
        R"({"threads":null,"diskReadBytes":4,"request":{"pid":1,"startSeconds":2,"startMicroseconds":3},"x":1})");
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->diskReadBytes, 4U);
    EXPECT_FALSE(reading->threads);
    EXPECT_FALSE(reading->startAbsolute);
    EXPECT_FALSE(json::decode<ProcessDetailReading>(R"({"threads":1})"));
    EXPECT_FALSE(json::decode<ProcessDetailReading>(R"({"request":{"pid":1,"startSeconds":2}})"));
    EXPECT_FALSE(json::decode<ProcessDetailSnapshot>(R"({"version":1,"readings":[]})"));
}

} // namespace
} // namespace quorvantile
