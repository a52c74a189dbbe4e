// The setup state machine over substitutes of both controllers, stepped on a manual main executor.
#include "SetupTestSupport.h"
#include "common/JsonDecode.h"

#include "setup/SensorCompanionSetupState.h"
#include "setup/SerialExecutor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace quorvantile::setup {
namespace {

using ::testing::ElementsAre;
using namespace testing;

class SetupState : public ::testing::Test {
protected:
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<FakeProcess> process = std::make_shared<FakeProcess>();
    std::shared_ptr<FakeLogin> login = std::make_shared<FakeLogin>();
    std::shared_ptr<SensorCompanionSetupState> state;

    void SetUp() override { make(); }
    SensorCompanionSetupState& make()
    {
        state = SensorCompanionSetupState::create(defaults, process, login, main, main);
        return *state;
    }
    void run(Task<void> operation)
    {
        startDetached(std::move(operation));
        main->runPending();
    }
    void exitChild(std::size_t index)
    {
        process->exits.at(index)();
        main->runPending();
    }
    [[nodiscard]] std::optional<json::Json> stored() const { return defaults->value(kSensorsEnabledKey); }
};

TEST_F(SetupState, OnlyAStoredTrueBooleanReadsAsEnabled)
{
    const std::vector<std::pair<std::optional<json::Json>, bool>> cases = {
        {std::nullopt, false}, {true, true}, {false, false}, {"true", false}, {1, false}};
    login->currentStatus = LoginItemStatus::requiresApproval;
    for (const auto& [value, expected] : cases) {
        defaults->values.clear();
        if (value) {
            defaults->values[std::string(kSensorsEnabledKey)] = *value;
        }
        EXPECT_EQ(make().enabled(), expected) << (value ? value->dump() : "nothing");
        EXPECT_EQ(state->loginStatus(), LoginItemStatus::requiresApproval);
        EXPECT_FALSE(state->running() || state->busy() || state->sensorFailed());
    }
    EXPECT_TRUE(process->calls.empty()) << "construction starts nothing";
}

TEST_F(SetupState, EnablingStartsAPersistentServerAndStoresTheChoice)
{
    bool busyWhenFirstNotified = true;
    int notifications = 0;
    state->addObserver([&] {
        if (notifications++ == 0) {
            busyWhenFirstNotified = state->busy(); // observers hear of a change before it is made
        }
    });
    run(state->setEnabled(true));
    EXPECT_FALSE(busyWhenFirstNotified);
    EXPECT_THAT(process->calls, ElementsAre("stop", "start persistent"));
    EXPECT_TRUE(state->enabled() && state->running());
    EXPECT_FALSE(state->busy() || state->sensorFailed());
    EXPECT_EQ(stored(), json::Json(true));

    run(state->setEnabled(true));
    EXPECT_EQ(process->calls.size(), 2U) << "a running persistent server is kept";
}

// Each way a start can fail leaves `enabled` and the store as they were, with the failure shown.
TEST_F(SetupState, AFailedStartShowsTheFailureAndKeepsTheChoice)
{
    using Script = std::function<void(FakeProcess&)>;
    const std::tuple<const char*, bool, Script, std::vector<std::string>> cases[] = {
        {"start fails", false, [](FakeProcess& fake) { fake.startResults = {SensorCompanionProcessError::notReady}; },
            {"stop", "start persistent"}},
        {"old child cannot be stopped", false,
            [](FakeProcess& fake) { fake.stopResults = {SensorCompanionProcessError::couldNotStop}; }, {"stop"}},
        {"ends right after ready", false, [](FakeProcess& fake) { fake.exitBeforeReady = true; },
            {"stop", "start persistent"}},
        {"restoring an enabled service", true,
            [](FakeProcess& fake) { fake.startResults = {SetupError::system("posix_spawn", ENOENT)}; },
            {"stop", "start persistent"}},
    };
    for (const auto& [name, storedEnabled, script, calls] : cases) {
        SCOPED_TRACE(name);
        defaults->values.clear();
        if (storedEnabled) {
            defaults->values[std::string(kSensorsEnabledKey)] = true;
        }
        defaults->writes = 0;
        process = std::make_shared<FakeProcess>();
        script(*process);
        make();
        run(storedEnabled ? state->restore(false) : state->setEnabled(true));
        EXPECT_EQ(process->calls, calls);
        EXPECT_TRUE(state->sensorFailed() && !state->running() && !state->busy());
        EXPECT_EQ(state->enabled(), storedEnabled);
        EXPECT_EQ(defaults->writes, 0);
    }
}

TEST_F(SetupState, DisablingStopsTheServerAndStoresFalse)
{
    run(state->setEnabled(false));
    EXPECT_THAT(process->calls, ElementsAre("stop")) << "an idle controller stops at once";
    EXPECT_FALSE(state->enabled() || state->busy() || state->sensorFailed());
    EXPECT_EQ(stored(), json::Json(false));

    run(state->setEnabled(true));
    process->stopResults = {SensorCompanionProcessError::couldNotStop};
    run(state->setEnabled(false));
    EXPECT_TRUE(state->sensorFailed() && !state->busy());
    EXPECT_TRUE(state->enabled() && state->running()) << "a failed stop changes neither";
    EXPECT_EQ(stored(), json::Json(true));
}

TEST_F(SetupState, ARequestWhileBusyIsIgnored)
{
    process->holdStarts = true;
    run(state->setEnabled(true));
    ASSERT_TRUE(process->pending.waiting());
    EXPECT_TRUE(state->busy());

    run(state->setEnabled(false)); // the quick second toggle
    process->pending.finish();
    main->runPending();
    EXPECT_THAT(process->calls, ElementsAre("stop", "start persistent"));
    EXPECT_TRUE(state->enabled() && state->running());
    EXPECT_FALSE(state->busy());
}

// Exits are judged by generation: only the current child's end counts, and only a persistent one's is a failure.
TEST_F(SetupState, AServerEndingByItselfIsAFailureOnlyWhenPersistent)
{
    int finished = 0;
    state->setOnDemandFinished([&] { ++finished; });
    run(state->restore(true));
    exitChild(0);
    EXPECT_FALSE(state->running() || state->sensorFailed());
    EXPECT_EQ(finished, 1);

    run(state->restore(true));
    run(state->setEnabled(true)); // replaces the on-demand server
    EXPECT_THAT(
        process->calls, ElementsAre("stop", "start on demand", "stop", "start on demand", "stop", "start persistent"));
    exitChild(1); // the replaced child's late report
    EXPECT_TRUE(state->running() && !state->sensorFailed());
    exitChild(2);
    EXPECT_TRUE(state->sensorFailed() && !state->running() && state->enabled()) << "the choice stays";
    EXPECT_EQ(finished, 1);
}

TEST_F(SetupState, AnExitDuringAStartLeavesTheVerdictToTheStart)
{
    bool finished = false;
    state->setOnDemandFinished([&] { finished = true; });
    process->holdStarts = true;
    run(state->restore(true));
    ASSERT_TRUE(process->pending.waiting());
    exitChild(0);
    EXPECT_FALSE(state->sensorFailed() || finished);
    EXPECT_TRUE(state->busy());

    process->pending.finish();
    main->runPending();
    EXPECT_TRUE(state->sensorFailed()) << "ready, then ended before the start finished";
    EXPECT_FALSE(state->running() || state->busy());
}

// Whatever the superseded start's launch gives, the quit owns the state: nothing is shown of it.
TEST_F(SetupState, ShutdownSupersedesAStartInFlight)
{
    for (const Outcome& launched : {Outcome(), Outcome(SensorCompanionProcessError::notReady)}) {
        SCOPED_TRACE(launched.ok() ? "the launch succeeds" : "the launch fails");
        process = std::make_shared<FakeProcess>();
        make();
        process->holdStarts = true;
        run(state->setEnabled(true));
        ASSERT_TRUE(process->pending.waiting());

        std::optional<Outcome> shutdown;
        run([](std::shared_ptr<SensorCompanionSetupState> setup, std::optional<Outcome>& out) -> Task<void> {
            out = co_await setup->shutdown();
        }(state, shutdown));
        process->pending.finish(launched);
        main->runPending();
        exitChild(0);

        EXPECT_EQ(shutdown, Outcome());
        EXPECT_THAT(process->calls, ElementsAre("stop", "start persistent", "stop"));
        EXPECT_FALSE(state->running() || state->busy() || state->sensorFailed() || state->enabled());
        EXPECT_FALSE(stored().has_value());
    }
}

// The quit's stop is queued behind the start's stop of the old child and finds nothing to end: the
// start must not launch a server after it.
TEST_F(SetupState, AQuitWhileTheOldChildStopsLaunchesNothing)
{
    std::optional<Outcome> shutdown;
    startDetached(state->setEnabled(true));
    startDetached([](std::shared_ptr<SensorCompanionSetupState> setup, std::optional<Outcome>& out) -> Task<void> {
        out = co_await setup->shutdown();
    }(state, shutdown));
    main->runPending();
    EXPECT_EQ(shutdown, Outcome());
    EXPECT_THAT(process->calls, ElementsAre("stop", "stop"));
    EXPECT_FALSE(state->running() || state->busy() || state->sensorFailed() || state->enabled());
}

// A choice that cannot be stored is shown; the service keeps doing what the user chose.
TEST_F(SetupState, AFailedStoreOfTheChoiceIsShownUntilOneSucceeds)
{
    defaults->results = {SetupError::system("write", ENOSPC)};
    run(state->setEnabled(true));
    EXPECT_TRUE(state->enabled() && state->running());
    EXPECT_EQ(state->storeError(), "No space left on device");
    EXPECT_FALSE(stored().has_value());

    defaults->results = {SetupError::system("rename", EROFS)};
    run(state->setEnabled(false));
    EXPECT_FALSE(state->enabled() || state->running());
    EXPECT_EQ(state->storeError(), "Read-only file system");

    run(state->setEnabled(true));
    EXPECT_FALSE(state->storeError().has_value());
    EXPECT_EQ(stored(), json::Json(true));
    EXPECT_EQ(defaults->writes, 3);
}

// A disk that takes its time: each write waits until the test lets it go (or 5 seconds pass, so that a
// write made on the test's own thread fails the test instead of hanging it).
class SlowDefaults final : public DefaultsStore {
public:
    [[nodiscard]] std::optional<json::Json> value(std::string_view key) const override
    {
        const std::lock_guard lock(mutex_);
        const auto found = values_.find(key);
        return found == values_.end() ? std::nullopt : std::optional(found->second);
    }
    Outcome setValue(std::string_view key, const json::Json& value) override
    {
        std::unique_lock lock(mutex_);
        threads_.push_back(std::this_thread::get_id());
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(5), [this] { return released_; });
        values_[std::string(key)] = value;
        written_.push_back(value.get<bool>());
        changed_.notify_all();
        return {};
    }
    void release()
    {
        const std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    // Waits until `count` writes have begun; false after 5 seconds.
    bool begun(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return threads_.size() >= count; });
    }
    std::vector<bool> written() const
    {
        const std::lock_guard lock(mutex_);
        return written_;
    }
    std::vector<std::thread::id> threads() const
    {
        const std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::map<std::string, json::Json, std::less<>> values_;
    std::vector<bool> written_;
    std::vector<std::thread::id> threads_;
};

// A login item that notes the thread each change runs on.
class ThreadNotingLogin final : public SensorCompanionLoginControlling {
public:
    std::optional<std::thread::id> thread;
    [[nodiscard]] LoginItemStatus status() const override { return LoginItemStatus::notRegistered; }
    Task<Outcome> setEnabled(bool) override
    {
        thread = std::this_thread::get_id();
        co_return Outcome();
    }
    void openSettings() override { }
};

TEST(SetupStateStorage, WritesWaitForTheDiskAwayFromTheMainThreadInTheOrderMade)
{
    auto main = std::make_shared<ManualExecutor>();
    auto defaults = std::make_shared<SlowDefaults>();
    auto login = std::make_shared<ThreadNotingLogin>();
    const auto state = SensorCompanionSetupState::create(
        defaults, std::make_shared<FakeProcess>(), login, main, std::make_shared<SerialExecutor>());

    ASSERT_TRUE(runToEnd(*main, state->setEnabled(true)));
    ASSERT_TRUE(defaults->begun(1));
    // The disk still holds the first write, and the window goes on: the user turns the sensors off.
    ASSERT_TRUE(runToEnd(*main, state->setEnabled(false)));
    EXPECT_FALSE(state->enabled() || state->running() || state->busy());
    EXPECT_TRUE(defaults->written().empty());

    // A quit waits for the writes already made before it reports that the application may end.
    std::optional<Outcome> shutdown;
    startDetached([](std::shared_ptr<SensorCompanionSetupState> setup, std::optional<Outcome>& out) -> Task<void> {
        out = co_await setup->shutdown();
    }(state, shutdown));
    EXPECT_FALSE(main->runUntil([&] { return shutdown.has_value(); }, 0.3));
    defaults->release();
    ASSERT_TRUE(main->runUntil([&] { return shutdown.has_value(); }, 10.0));
    EXPECT_EQ(defaults->written(), (std::vector {true, false}));
    for (const auto& thread : defaults->threads()) {
        EXPECT_NE(thread, std::this_thread::get_id());
    }

    ASSERT_TRUE(runToEnd(*main, state->setLogin(true)));
    ASSERT_TRUE(login->thread.has_value());
    EXPECT_NE(*login->thread, std::this_thread::get_id());
    EXPECT_FALSE(state->storeError().has_value());
}

TEST_F(SetupState, AnExitReportedAfterTheStateIsGoneDoesNothing)
{
    run(state->setEnabled(true));
    const auto onExit = process->exits.at(0);
    state.reset();
    onExit();
    EXPECT_EQ(main->runPending(), 1);
}

TEST_F(SetupState, ALoginFailureShowsThePlatformTextUntilTheNextChange)
{
    login->results = {SetupError::system("unlink", ENOENT)};
    run(state->setLogin(false));
    EXPECT_EQ(state->loginError(), "No such file or directory");
    EXPECT_FALSE(state->loginBusy());

    run(state->setLogin(true));
    EXPECT_FALSE(state->loginError().has_value());
    EXPECT_THAT(login->requests, ElementsAre(false, true));
}

} // namespace
} // namespace quorvantile::setup
