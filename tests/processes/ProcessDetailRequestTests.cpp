#include "processes/ProcessDetailRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

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

TEST(ProcessDetailRequestForm, WellFormedBounds)
{
    EXPECT_TRUE((ProcessDetailRequest {1, 1, 999'999}).isWellFormed());
    EXPECT_FALSE((ProcessDetailRequest {0, 1, 0}).isWellFormed());
    EXPECT_FALSE((ProcessDetailRequest {-5, 1, 0}).isWellFormed());
    EXPECT_FALSE((ProcessDetailRequest {1, 0, 0}).isWellFormed());
    EXPECT_FALSE((ProcessDetailRequest {1, 1, 1'000'000}).isWellFormed());
}

TEST(ProcessDetailRequestHash, EqualRequestsHashEquallyAndFieldOrderMatters)
{
    const std::hash<ProcessDetailRequest> hash;
    EXPECT_EQ(hash({5, 7, 9}), hash({5, 7, 9}));
    EXPECT_NE(hash({5, 7, 9}), hash({5, 9, 7}));
    EXPECT_NE(hash({7, 5, 9}), hash({5, 7, 9}));
    const std::unordered_set<ProcessDetailRequest> set {{5, 7, 9}, {5, 7, 9}, {5, 7, 10}};
    EXPECT_EQ(set.size(), 2U);
}

TEST(ProcessDetailRequestDecoding, KeepsTheOrderOfTheBody)
{
    const auto requests = ProcessDetailRequest::decode(
        R"([{"startMicroseconds":999999,"pid":30,"startSeconds":5,"extra":"ignored"},)" + requestText(2) + "]");
    ASSERT_TRUE(requests);
    EXPECT_EQ(*requests, (std::vector<ProcessDetailRequest> {{30, 5, 999'999}, {2, 1'700'000'000, 0}}));
}

TEST(ProcessDetailRequestDecoding, BodySizeBounds)
{
    EXPECT_FALSE(ProcessDetailRequest::decode(""));
    const std::string body = arrayOf(1);
    std::string exact = body + std::string(2048 - body.size(), ' ');
    ASSERT_EQ(exact.size(), 2048U);
    EXPECT_TRUE(ProcessDetailRequest::decode(exact)) << "white space after the array is allowed";
    EXPECT_FALSE(ProcessDetailRequest::decode(exact + " "));
}

TEST(ProcessDetailRequestDecoding, CountBounds)
{
    EXPECT_FALSE(ProcessDetailRequest::decode("[]"));
    EXPECT_TRUE(ProcessDetailRequest::decode(arrayOf(1)));
    const auto eight = ProcessDetailRequest::decode(arrayOf(8));
    ASSERT_TRUE(eight);
    EXPECT_EQ(eight->size(), 8U);
    EXPECT_FALSE(ProcessDetailRequest::decode(arrayOf(9)));
}

TEST(ProcessDetailRequestDecoding, RefusesWrongShapesAndTypes)
{
    const std::string refused[] = {
        requestText(1), // an object, not an array
        "[" + requestText(1) + "] x",
        "[1]",
        "[null]",
        "[[1,2,3]]",
        R"([{"pid":1,"startSeconds":2}])",
        R"([{"pid":1,"startSeconds":-2,"startMicroseconds":0}])",
        R"([{"pid":2147483648,"startSeconds":2,"startMicroseconds":0}])",
        R"([{"pid":"1","startSeconds":2,"startMicroseconds":0}])",
        R"([{"pid":1.0,"startSeconds":2,"startMicroseconds":0}])",
        R"([{"pid":1,"startSeconds":2e3,"startMicroseconds":0}])",
        R"([{"pid":true,"startSeconds":2,"startMicroseconds":0}])",
        R"([{"pid":1,"startSeconds":null,"startMicroseconds":0}])",
        R"([{"pid":1,"startSeconds":18446744073709551616,"startMicroseconds":0}])",
        "[" + requestText(1) + ",",
        "not json",
        std::string("[\"\xFF\"]"),
    };
    for (const auto& body : refused) {
        EXPECT_FALSE(ProcessDetailRequest::decode(body)) << body;
    }
    EXPECT_TRUE(ProcessDetailRequest::decode(
        R"([{"pid":2147483647,"startSeconds":18446744073709551615,"startMicroseconds":0}])"));
}

TEST(ProcessDetailRequestDecoding, RefusesMalformedRequests)
{
    for (const auto& body : {"[" + requestText(0) + "]", "[" + requestText(-1) + "]", "[" + requestText(1, 0) + "]",
             "[" + requestText(1, 5, 1'000'000) + "]", "[" + requestText(1) + "," + requestText(2, 0) + "]"}) {
        EXPECT_FALSE(ProcessDetailRequest::decode(body)) << body;
    }
    EXPECT_TRUE(ProcessDetailRequest::decode("[" + requestText(1, 5, 999'999) + "]"));
}

TEST(ProcessDetailRequestDecoding, RefusesRepeatedRequestsButNotTheSamePidAtAnotherTime)
{
    EXPECT_FALSE(
        ProcessDetailRequest::decode("[" + requestText(4) + "," + requestText(5) + "," + requestText(4) + "]"));
    const auto twoStarts = ProcessDetailRequest::decode("[" + requestText(4, 10) + "," + requestText(4, 11) + "]");
    ASSERT_TRUE(twoStarts);
    EXPECT_EQ(twoStarts->size(), 2U);
}

TEST(ProcessDetailRequestJson, WritesTheTripleInOrder)
{
    EXPECT_EQ(json::encode(ProcessDetailRequest {2147483647, 18446744073709551615ULL, 999'999}),
        R"({"pid":2147483647,"startSeconds":18446744073709551615,"startMicroseconds":999999})");
}

} // namespace
} // namespace quorvantile
