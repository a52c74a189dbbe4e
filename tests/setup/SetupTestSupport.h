#pragma once

#include "common/JsonDecode.h"
#include "setup/DefaultsStore.h"
#include "setup/SensorCompanionLoginControlling.h"
#include "setup/SensorCompanionProcessControlling.h"
#include "setup/Task.h"

#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvantile::setup::testing {

// The tests' main executor: posted work waits until the test runs it on its own thread.
class ManualExecutor final : public Executor {
public:
    void post(std::function<void()> work) override
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
        posted_.notify_all();
    }

    // Runs work until none is left, including work posted meanwhile; returns how many items ran.
    int runPending()
    {
        int ran = 0;
        for (; auto work = take(std::chrono::steady_clock::now()); ++ran) {
            work();
        }
        return ran;
    }

    // Runs work as it arrives (from any thread) until `done` holds; false when `seconds` pass first.
    bool runUntil(const std::function<bool()>& done, double seconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            auto work = take(deadline);
            if (!work) {
                return false;
            }
            work();
        }
        return true;
    }

private:
    std::function<void()> take(auto deadline)
    {
        std::unique_lock lock(mutex_);
        if (!posted_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) {
            return {};
        }
        auto work = std::move(queue_.front());
        queue_.pop_front();
        return work;
    }

    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> queue_;
};

// Blocks the calling thread until `task` (which runs on executors of its own) has finished.
template<typename T> T waitFor(Task<T> task)
{
    auto result = std::make_shared<std::promise<T>>();
    startDetached(
        [](Task<T> run, auto to) -> Task<void> { to->set_value(co_await std::move(run)); }(std::move(task), result));
    return result->get_future().get();
}

// Runs `operation` on `main` until it has finished; false when that takes more than `seconds`.
inline bool runToEnd(ManualExecutor& main, Task<void> operation, double seconds = 10.0)
{
    auto finished = std::make_shared<bool>(false);
    startDetached([](Task<void> run, std::shared_ptr<bool> done) -> Task<void> {
        co_await std::move(run);
        *done = true;
    }(std::move(operation), finished));
    return main.runUntil([&] { return *finished; }, seconds);
}

// A suspended controller call that the test finishes when it chooses.
class Pending {
public:
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) noexcept { waiting_ = handle; }
    Outcome await_resume() const { return result_; }

    [[nodiscard]] bool waiting() const { return static_cast<bool>(waiting_); }
    void finish(Outcome result = {})
    {
        result_ = std::move(result);
        std::exchange(waiting_, {}).resume();
    }

private:
    std::coroutine_handle<> waiting_;
    Outcome result_;
};

inline Outcome next(std::deque<Outcome>& results)
{
    if (results.empty()) {
        return {};
    }
    Outcome result = results.front();
    results.pop_front();
    return result;
}

// A server controller whose calls succeed unless scripted otherwise, and which the test can hold.
class FakeProcess final : public SensorCompanionProcessControlling {
public:
    std::vector<std::string> calls; // "stop", "start persistent", "start on demand"
    std::vector<std::function<void()>> exits; // onExit of every start
    std::deque<Outcome> startResults; // given to the next starts; success when empty
    std::deque<Outcome> stopResults;
    bool holdStarts = false; // each start then waits in `pending` until finished
    bool exitBeforeReady = false; // the child ends right after becoming ready, before start returns
    Pending pending;

    Task<Outcome> start(bool persistent, std::function<void()> onExit) override
    {
        calls.push_back(persistent ? "start persistent" : "start on demand");
        exits.push_back(std::move(onExit));
        if (holdStarts) {
            co_return co_await pending;
        }
        if (exitBeforeReady) {
            exits.back()();
        }
        co_return next(startResults);
    }

    Task<Outcome> stop() override
    {
        calls.push_back("stop");
        co_return next(stopResults);
    }
};

// A login item whose status follows every request that succeeds.
class FakeLogin final : public SensorCompanionLoginControlling {
public:
    LoginItemStatus currentStatus = LoginItemStatus::notRegistered;
    std::deque<Outcome> results;
    std::vector<bool> requests;
    int settingsOpened = 0;

    [[nodiscard]] LoginItemStatus status() const override { return currentStatus; }
    Task<Outcome> setEnabled(bool enabled) override
    {
        requests.push_back(enabled);
        const Outcome result = next(results);
        if (result.ok()) {
            currentStatus = enabled ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
        }
        co_return result;
    }
    void openSettings() override { ++settingsOpened; }
};

// A defaults store in memory whose writes succeed unless scripted otherwise.
class MemoryDefaults final : public DefaultsStore {
public:
    std::map<std::string, json::Json, std::less<>> values;
    int writes = 0;
    std::deque<Outcome> results; // given to the next writes; success when empty

    [[nodiscard]] std::optional<json::Json> value(std::string_view key) const override
    {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    Outcome setValue(std::string_view key, const json::Json& value) override
    {
        ++writes;
        Outcome result = next(results);
        if (result.ok()) {
            values[std::string(key)] = value;
        }
        return result;
    }
};

inline std::string contents(const std::filesystem::path& path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

} // namespace quorvantile::setup::testing
