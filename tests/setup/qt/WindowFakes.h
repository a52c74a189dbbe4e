#pragma once

// Substitutes of the setup state's collaborators, shared by the window tests and the screenshot
// program: operations finish at once with a chosen outcome, or wait until the caller lets them go.

#include "setup/DefaultsStore.h"
#include "setup/SensorCompanionLoginControlling.h"
#include "setup/SensorCompanionProcessControlling.h"

#include <QCoreApplication>

#include <coroutine>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace quorvantile::setup::testing {

// Runs everything the main executor and the widgets have queued.
inline void settle()
{
    for (int round = 0; round < 20; ++round) {
        QCoreApplication::processEvents();
    }
}

// An operation held open until release() gives it its outcome.
class Hold {
public:
    struct Awaiter {
        Hold& hold;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> waiting) noexcept { hold.waiting_ = waiting; }
        Outcome await_resume() { return std::move(hold.outcome_); }
    };
    Awaiter operator co_await() { return Awaiter {*this}; }

    [[nodiscard]] bool waiting() const { return static_cast<bool>(waiting_); }
    void release(Outcome outcome = {})
    {
        outcome_ = std::move(outcome);
        std::exchange(waiting_, {}).resume();
    }

private:
    std::coroutine_handle<> waiting_;
    Outcome outcome_;
};

class FakeProcess final : public SensorCompanionProcessControlling {
public:
    // Outcomes of the next calls, in order; with none queued an operation succeeds.
    std::deque<Outcome> startOutcomes;
    std::deque<Outcome> stopOutcomes;
    // Starts wait for startHold.release() instead of finishing at once.
    bool holdStarts = false;
    Hold startHold;

    std::vector<bool> starts; // the `persistent` argument of every start
    int stops = 0;
    std::function<void()> onExit;

    Task<Outcome> start(bool persistent, std::function<void()> exit) override
    {
        starts.push_back(persistent);
        onExit = std::move(exit);
        if (holdStarts) {
            co_return co_await startHold;
        }
        co_return next(startOutcomes);
    }

    Task<Outcome> stop() override
    {
        ++stops;
        co_return next(stopOutcomes);
    }

    // The child ends by itself.
    void exit() const { onExit(); }

private:
    static Outcome next(std::deque<Outcome>& outcomes)
    {
        if (outcomes.empty()) {
            return {};
        }
        Outcome outcome = std::move(outcomes.front());
        outcomes.pop_front();
        return outcome;
    }
};

class FakeLogin final : public SensorCompanionLoginControlling {
public:
    LoginItemStatus current = LoginItemStatus::notRegistered;
    // Given to the next setEnabled; without one it succeeds and the status follows the request.
    std::optional<SetupError> nextError;
    std::vector<bool> requests;
    int settingsOpened = 0;

    [[nodiscard]] LoginItemStatus status() const override { return current; }
    Task<Outcome> setEnabled(bool enabled) override
    {
        requests.push_back(enabled);
        if (nextError) {
            const SetupError error = *nextError;
            nextError.reset();
            co_return error;
        }
        current = enabled ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
        co_return Outcome();
    }
    void openSettings() override { ++settingsOpened; }
};

class MemoryDefaults final : public DefaultsStore {
public:
    std::map<std::string, json::Json, std::less<>> values;

    [[nodiscard]] std::optional<json::Json> value(std::string_view key) const override
    {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    bool setValue(std::string_view key, const json::Json& value) override
    {
        values.insert_or_assign(std::string(key), value);
        return true;
    }
};

} // namespace quorvantile::setup::testing
