// The process records on the wire: the detail request body and the inventory snapshot's rules. Their JSON
// names are read back by the query tool's golden replies; the mapping rules are the JSON module's.
#include "processes/ProcessDetailRequest.h"
#include "processes/ProcessInventorySnapshot.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace quorvantile {
namespace {

std::string requestText(std::int32_t pid, std::uint64_t seconds = 1'700'000'000, std::uint64_t microseconds = 0)
{
    return R"({"pid":)" + std::to_string(pid) + R"(,"startSeconds":)" + std::to_string(seconds) +
        R"(,"startMicroseconds":)" + std::to_string(microseconds) + "}";
}

std::string arrayOf(int count)
{
    std::string body = "[";
    for (int index = 1; index <= count; ++index) {
        body += (index > 1 ? "," : "") + requestText(index);
    }
    return body + "]";
}

TEST(ProcessDetailRequestDecoding, AcceptsOnlyOneToEightDistinctWellFormedRequestsIn2048Bytes)
{
    const std::string padded = arrayOf(1) + std::string(2048 - arrayOf(1).size(), ' ');
    const struct {
        std::string body;
        std::size_t count; // 0: refused
    } rows[] = {
        {"", 0},
        {padded, 1}, // exactly 2,048 bytes, white space after the array
        {padded + " ", 0},
        {"[]", 0},
        {arrayOf(8), 8},
        {arrayOf(9), 0},
        {"[" + requestText(4) + "," + requestText(5) + "," + requestText(4) + "]", 0},
        {"[" + requestText(4, 10) + "," + requestText(4, 11) + "]", 2}, // one pid at two start times
        {"[" + requestText(0) + "]", 0},
        {"[" + requestText(1) + "," + requestText(2, 0) + "]", 0},
        {"[" + requestText(1, 5, 1'000'000) + "]", 0},
        {R"([{"pid":2147483647,"startSeconds":18446744073709551615,"startMicroseconds":999999}])", 1},
        {requestText(1), 0}, // an object, not an array
        {"[null]", 0},
        {R"([{"pid":1.0,"startSeconds":2,"startMicroseconds":0}])", 0},
    };
    for (const auto& row : rows) {
        const auto requests = ProcessDetailRequest::decode(row.body);
        EXPECT_EQ(requests ? requests->size() : 0U, row.count) << row.body.substr(0, 120);
    }
    EXPECT_EQ(
        ProcessDetailRequest::decode(R"([{"startMicroseconds":9,"pid":30,"startSeconds":5},)" + requestText(2) + "]"),
        (std::vector<ProcessDetailRequest> {{30, 5, 9}, {2, 1'700'000'000, 0}}))
        << "in the order of the body";
}

ProcessInventoryReading reading(std::int32_t pid) { return {pid, "Finder", 1'700'000'000, 250'000, 10, 20, 4096}; }

TEST(ProcessInventorySnapshotValidity, Bounds)
{
    using Change = std::function<void(ProcessInventorySnapshot&)>;
    const auto first = [](const std::function<void(ProcessInventoryReading&)>& change) -> Change {
        return [change](ProcessInventorySnapshot& snapshot) { change(snapshot.readings.front()); };
    };
    const auto upTo = [](std::int32_t last) -> Change {
        return [last](ProcessInventorySnapshot& snapshot) {
            for (std::int32_t pid = 2; pid <= last; ++pid) {
                snapshot.readings.push_back(reading(pid));
            }
        };
    };
    const ProcessInventoryReading least {1, "x", 1, 0, 0, 0, 0};
    // One row shows that the shared header rules apply; the sensor snapshot's tests go through them all.
    const struct {
        const char* what;
        Change change;
        bool valid;
    } rows[] = {
        {"as made", [](auto&) {}, true},
        {"older than two seconds", [](auto& s) { s.uptime = 7.999999; }, false},
        {"another user's list", [](auto& s) { s.uid += 1; }, false},
        {"512 readings", upTo(512), true},
        {"513 readings", upTo(513), false},
        {"a repeated pid", [](auto& s) { s.readings.push_back(reading(1)); }, false},
        {"pid 0", first([](auto& r) { r.pid = 0; }), false},
        {"name with a line feed", first([](auto& r) { r.name = "bad\nname"; }), false},
        {"no start time", first([](auto& r) { r.startSeconds = 0; }), false},
        {"last microsecond", first([](auto& r) { r.startMicroseconds = 999'999; }), true},
        {"a second of microseconds", first([](auto& r) { r.startMicroseconds = 1'000'000; }), false},
        {"the flag plays no part", [](auto& s) { s.incomplete = true; }, true},
        {"the least of each, no figures", first([&least](auto& r) { r = least; }), true},
    };
    for (const auto& row : rows) {
        ProcessInventorySnapshot snapshot {1, 10.0, 501, false, {reading(1)}};
        row.change(snapshot);
        EXPECT_EQ(snapshot.isValid(10.0, 501), row.valid) << row.what;
    }
}

} // namespace
} // namespace quorvantile
