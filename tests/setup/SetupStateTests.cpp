// The setup state machine over substitutes of both controllers, stepped on a manual main executor.
#include "SetupTestSupport.h"

#include "setup/SensorCompanionSetupState.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
        state = SensorCompanionSetupState::create(defaults, process, login, main);
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

TEST_F(SetupState, ShutdownSupersedesAStartInFlight)
{
    process->holdStarts = true;
    run(state->setEnabled(true));
    ASSERT_TRUE(process->pending.waiting());

    std::optional<Outcome> shutdown;
    run([](std::shared_ptr<SensorCompanionSetupState> setup, std::optional<Outcome>& out) -> Task<void> {
        out = co_await setup->shutdown();
    }(state, shutdown));
    process->holdStarts = false;
    process->pending.finish(); // the superseded start succeeds after all
    main->runPending();
    exitChild(0);

    EXPECT_EQ(shutdown, Outcome());
    EXPECT_THAT(process->calls, ElementsAre("stop", "start persistent", "stop"));
    EXPECT_FALSE(state->running() || state->busy() || state->sensorFailed() || state->enabled());
    EXPECT_FALSE(stored().has_value());
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
