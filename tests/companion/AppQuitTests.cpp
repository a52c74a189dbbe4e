// The quit request's decoding and the handler's checks, over substitutes of the system. The response's JSON
// is read back by the query tool's golden replies and the real companion's; the mapping rules are the JSON module's.
#include "companion/AppQuitHandler.h"
#include "companion/AppQuitRequest.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace quorvantile {
namespace {

constexpr std::int32_t kPid = 4242;
constexpr std::uint32_t kUid = 1000;
constexpr std::int32_t kRequester = 3; // the peer that asks
const AppQuitRequest kRequest {{kPid, 1'700'000'000, 250'000}, "org.example.Editor"};

std::string bodyOf(const std::string& identifier, std::int64_t pid = kPid, std::int64_t seconds = 1'700'000'000,
    std::int64_t microseconds = 250'000)
{
    return R"({"process":{"pid":)" + std::to_string(pid) + R"(,"startSeconds":)" + std::to_string(seconds) +
        R"(,"startMicroseconds":)" + std::to_string(microseconds) + R"(},"bundleIdentifier":")" + identifier + "\"}";
}

TEST(AppQuitRequest, DecodesOnlyValidRequests)
{
    EXPECT_EQ(AppQuitRequest::decode(bodyOf("org.example.Editor")), kRequest);
    const std::string longest = std::string(250, 'a') + ".b-_9";
    EXPECT_TRUE(AppQuitRequest::decode(bodyOf(longest)));
    for (const std::string& body : {bodyOf("COM.APPLE.FINDER"), bodyOf("com.apple.finder"),
             bodyOf("com.zembo.quorvantile"), bodyOf("Com.Zembo.Quorvantile.Sensors"), bodyOf("a..b"), bodyOf(".a"),
             bodyOf("a."), bodyOf("a b"), bodyOf("a/b"), bodyOf("\u00e9diteur"), bodyOf(""), bodyOf(longest + "x"),
             bodyOf("a", 0), bodyOf("a", kPid, 0), bodyOf("a", kPid, 1, 1'000'000), bodyOf("a", 2147483648LL),
             std::string(R"({"process":{"pid":1,"startSeconds":1,"startMicroseconds":0}})"), std::string("[]"),
             std::string("{")}) {
        EXPECT_FALSE(AppQuitRequest::decode(body)) << body;
    }
    std::string padded = bodyOf("org.example.Editor");
    padded.resize(2048, ' ');
    EXPECT_TRUE(AppQuitRequest::decode(padded));
    padded += ' ';
    EXPECT_FALSE(AppQuitRequest::decode(padded)) << "2,049 bytes are not decoded at all";
}

// The system as a script: what each call answers, and a log of the calls made.
struct FakeApplication final : AppQuitApplication {
    std::int32_t pid = kPid;
    std::optional<std::string> identifier = kRequest.bundleIdentifier;
    ActivationPolicy policy = ActivationPolicy::regular;
    bool terminated = false;
    bool delivered = true;
    std::vector<std::string>* calls = nullptr;

    std::int32_t processIdentifier() const override { return pid; }
    std::optional<std::string> bundleIdentifier() const override { return identifier; }
    ActivationPolicy activationPolicy() const override { return policy; }
    bool isTerminated() const override { return terminated; }
    bool terminate() override
    {
        calls->push_back("terminate");
        return delivered;
    }
};

struct FakeSystem final : AppQuitOperatingSystem {
    std::int32_t self = 1;
    std::int32_t parent = 2;
    std::vector<std::optional<AppQuitProcessIdentity>> identities {
        AppQuitProcessIdentity {kPid, 1'700'000'000, 250'000, kUid}};
    std::optional<FakeApplication> application = FakeApplication {};
    std::function<void()> onSecondIdentity;
    std::vector<std::string> calls;

    std::int32_t currentProcessIdentifier() const override { return self; }
    std::int32_t parentProcessIdentifier() const override { return parent; }
    std::uint32_t effectiveUserIdentifier() const override { return kUid; }
    std::optional<AppQuitProcessIdentity> process(std::int32_t) override
    {
        calls.push_back("process");
        if (calls.size() > 1 && onSecondIdentity) {
            onSecondIdentity();
        }
        const std::size_t reading = std::min(identities.size() - 1, static_cast<std::size_t>(calls.size() > 1));
        return identities[reading];
    }
    std::unique_ptr<AppQuitApplication> runningApplication(std::int32_t) override
    {
        calls.push_back("application");
        if (!application) {
            return nullptr;
        }
        auto copy = std::make_unique<FakeApplication>(*application);
        copy->calls = &calls;
        return copy;
    }
};

TEST(AppQuitHandler, EachFailedCheckRefusesWithoutAsking)
{
    const auto identity = [](std::int32_t pid, std::uint64_t microseconds, std::uint32_t uid) {
        return std::optional(AppQuitProcessIdentity {pid, 1'700'000'000, microseconds, uid});
    };
    struct Case {
        const char* name;
        std::function<void(FakeSystem&, AppQuitRequest&)> change;
        std::vector<std::string> calls;
        std::int32_t requester = kRequester;
    };
    const std::vector<std::string> none;
    const std::vector<std::string> first {"process"};
    const std::vector<std::string> looked {"process", "application"};
    const std::vector<std::string> both {"process", "application", "process"};
    const std::vector<Case> cases {
        {"invalid request", [](auto&, auto& r) { r.bundleIdentifier = "com.apple.Finder"; }, none},
        {"own process, before any lookup", [](auto& s, auto&) { s.self = kPid; }, none},
        {"own parent, before any lookup", [](auto& s, auto&) { s.parent = kPid; }, none},
        {"the requester itself, before any lookup", [](auto&, auto&) {}, none, kPid},
        {"a requester that could not be named", [](auto&, auto&) {}, none, 0},
        {"process gone or a zombie", [](auto& s, auto&) { s.identities = {std::nullopt}; }, first},
        {"start one microsecond off", [&](auto& s, auto&) { s.identities = {identity(kPid, 250'001, kUid)}; }, first},
        {"another pid answered", [&](auto& s, auto&) { s.identities = {identity(7, 250'000, kUid)}; }, first},
        {"another user", [&](auto& s, auto&) { s.identities = {identity(kPid, 250'000, 0)}; }, first},
        {"no running application", [](auto& s, auto&) { s.application.reset(); }, looked},
        {"application of another pid", [](auto& s, auto&) { s.application->pid = kPid + 1; }, looked},
        {"no bundle identifier", [](auto& s, auto&) { s.application->identifier.reset(); }, looked},
        {"identifier in lower case", [](auto& s, auto&) { s.application->identifier = "org.example.editor"; }, looked},
        {"accessory", [](auto& s, auto&) { s.application->policy = ActivationPolicy::accessory; }, looked},
        {"background only", [](auto& s, auto&) { s.application->policy = ActivationPolicy::prohibited; }, looked},
        {"terminated", [](auto& s, auto&) { s.application->terminated = true; }, looked},
        {"identity changed between the readings",
            [&](auto& s, auto&) { s.identities.push_back(identity(kPid, 250'000, kUid + 1)); }, both},
        {"gone at the second reading", [](auto& s, auto&) { s.identities.push_back(std::nullopt); }, both},
    };
    for (const Case& c : cases) {
        FakeSystem system;
        AppQuitRequest request = kRequest;
        c.change(system, request);
        EXPECT_FALSE(AppQuitHandler::request(request, system, c.requester)) << c.name;
        EXPECT_EQ(system.calls, c.calls) << c.name;
    }
}

TEST(AppQuitHandler, AsksAfterEveryCheckUnlessTheAskIsUndeliveredOrTheCallerCancelled)
{
    FakeSystem system;
    EXPECT_TRUE(AppQuitHandler::request(kRequest, system, kRequester));
    EXPECT_EQ(system.calls, (std::vector<std::string> {"process", "application", "process", "terminate"}));

    FakeSystem undelivered;
    undelivered.application->delivered = false;
    EXPECT_FALSE(AppQuitHandler::request(kRequest, undelivered, kRequester));
    EXPECT_EQ(undelivered.calls.back(), "terminate");

    const auto early = [] { return true; };
    FakeSystem before;
    EXPECT_FALSE(AppQuitHandler::request(kRequest, before, kRequester, early));
    EXPECT_TRUE(before.calls.empty());

    bool stopped = false;
    FakeSystem during;
    during.onSecondIdentity = [&] { stopped = true; };
    EXPECT_FALSE(AppQuitHandler::request(kRequest, during, kRequester, [&] { return stopped; }));
    EXPECT_EQ(during.calls, (std::vector<std::string> {"process", "application", "process"}));
}

} // namespace
} // namespace quorvantile
