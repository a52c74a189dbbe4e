// The portable pieces under the macOS setup ports: user-defaults values to and from JSON, the login
// item's status number, the platform's own error text, and the awaiting of a completion handler.
#include "SetupTestSupport.h"
#include "common/JsonDecode.h"

#include "common/FakePropertyValue.h"
#include "setup/AppServiceStatus.h"
#include "setup/Completion.h"
#include "setup/DefaultsValue.h"

#include <gtest/gtest.h>

#include <limits>
#include <thread>

namespace quorvantile::setup {
namespace {

using quorvantile::testing::FakePropertyValue;
using testing::waitFor;

TEST(DefaultsValue, StoredValuesReadAsJsonOfTheSameKind)
{
    const std::vector<std::tuple<const char*, FakePropertyValue, std::optional<json::Json>>> cases = {
        {"Boolean", FakePropertyValue(true), json::Json(true)},
        {"integer", FakePropertyValue(std::int64_t {1}), json::Json(1)},
        {"integer beyond 64 bits", FakePropertyValue(FakePropertyValue::WideInteger {}), std::nullopt},
        {"floating number", FakePropertyValue(0.5), json::Json(0.5)},
        {"text", FakePropertyValue("yes"), json::Json("yes")},
        {"text without UTF-8", FakePropertyValue(FakePropertyValue::Unconvertible {}), std::nullopt},
        {"date or data", FakePropertyValue(FakePropertyValue::Other {}), std::nullopt},
    };
    for (const auto& [name, value, expected] : cases) {
        const auto read = defaultsValue(value);
        EXPECT_EQ(read, expected) << name;
        // The setup state asks is_boolean(): the integer 1 must not pass for true.
        EXPECT_EQ(read && read->is_boolean(), std::string_view(name) == "Boolean") << name;
    }
}

TEST(DefaultsValue, DictionariesKeepTextKeyedEntriesToADepthOfThirtyTwo)
{
    const auto stored = FakePropertyValue::dictionary({
        {"on", FakePropertyValue(true)},
        {"inner", FakePropertyValue::dictionary({{"n", FakePropertyValue(std::int64_t {2})}})},
        {FakePropertyValue(std::int64_t {3}), FakePropertyValue("number key")},
        {"data", FakePropertyValue(FakePropertyValue::Other {})},
    });
    EXPECT_EQ(defaultsValue(stored), json::Json::parse(R"({"on":true,"inner":{"n":2}})"));

    // Thirty-two dictionaries in all are read (the outermost and 31 inside it); deeper ones are left
    // out, however deep the nesting goes.
    const auto nest = [](int levels) {
        FakePropertyValue value = FakePropertyValue::dictionary({});
        for (int level = 0; level < levels; ++level) {
            value = FakePropertyValue::dictionary({{"d", value}});
        }
        return value;
    };
    const auto depth = [](json::Json value) {
        int levels = 0;
        for (; value.contains("d"); ++levels) {
            value = json::Json(value["d"]);
        }
        return levels;
    };
    EXPECT_EQ(depth(*defaultsValue(nest(30))), 30);
    EXPECT_EQ(depth(*defaultsValue(nest(31))), 31);
    EXPECT_EQ(depth(*defaultsValue(nest(32))), 31);
    EXPECT_EQ(depth(*defaultsValue(nest(1'000))), 31);
}

TEST(DefaultsValue, OnlyScalarsThatKeepTheirKindAreStored)
{
    const auto big = json::Json(static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1);
    const std::vector<std::tuple<json::Json, std::optional<DefaultsScalar>>> cases = {
        {json::Json(true), DefaultsScalar(true)},
        {json::Json(false), DefaultsScalar(false)},
        {json::Json(-1), DefaultsScalar(std::int64_t {-1})},
        {json::Json(std::numeric_limits<std::int64_t>::max()),
            DefaultsScalar(std::numeric_limits<std::int64_t>::max())},
        {big, std::nullopt},
        {json::Json(2.5), DefaultsScalar(2.5)},
        {json::Json("text"), DefaultsScalar(std::string("text"))},
        {json::Json(nullptr), std::nullopt},
        {json::Json::array({true}), std::nullopt},
        {json::Json::object({{"on", true}}), std::nullopt},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(storableDefault(value), expected) << value.dump();
    }
}

TEST(AppServiceStatus, PlatformNumbersAndUnknownOnes)
{
    EXPECT_EQ(loginItemStatus(0), LoginItemStatus::notRegistered);
    EXPECT_EQ(loginItemStatus(1), LoginItemStatus::enabled);
    EXPECT_EQ(loginItemStatus(2), LoginItemStatus::requiresApproval);
    EXPECT_EQ(loginItemStatus(3), LoginItemStatus::notFound);
    EXPECT_EQ(loginItemStatus(4), LoginItemStatus::notFound);
    EXPECT_EQ(loginItemStatus(-1), LoginItemStatus::notFound);
}

TEST(PlatformError, ItsDescriptionIsThePlatformsTextUnchanged)
{
    const Outcome failed = PlatformError {"Operation not permitted"};
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().localizedDescription(), "Operation not permitted");
    EXPECT_NE(failed, Outcome(PlatformError {"Another text"}));
    EXPECT_NE(failed, Outcome(ParseError {"Operation not permitted"}));
}

Task<Outcome> awaitCompletion(std::function<void(Completion<Outcome>::Complete)> begin)
{
    co_return co_await completion<Outcome>(std::move(begin));
}

TEST(Completion, ResumesWithTheFirstResultWhetherItComesAtOnceOrFromAnotherThread)
{
    EXPECT_EQ(waitFor(awaitCompletion([](auto complete) { complete(SensorCompanionProcessError::notReady); })),
        Outcome(SensorCompanionProcessError::notReady));

    std::thread platform;
    const Outcome later = waitFor(awaitCompletion([&platform](auto complete) {
        platform = std::thread([complete] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            complete(PlatformError {"late"});
            complete(Outcome()); // a second call is ignored
        });
    }));
    platform.join();
    EXPECT_EQ(later, Outcome(PlatformError {"late"}));

    // Many races between the completion and the suspension: each resumes exactly once.
    for (int round = 0; round < 200; ++round) {
        std::thread racing;
        const Outcome raced = waitFor(
            awaitCompletion([&racing](auto complete) { racing = std::thread([complete] { complete(Outcome()); }); }));
        racing.join();
        EXPECT_TRUE(raced.ok());
    }
}

} // namespace
} // namespace quorvantile::setup
