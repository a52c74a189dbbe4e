#pragma once

#include "setup/Task.h"

#include <atomic>
#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace quorvantile::setup {

// Awaits a platform call that reports its result to a completion handler:
//
//     const Outcome outcome = co_await completion<Outcome>([](auto complete) { api(..., complete); });
//
// `begin` starts the call and hands `complete` to it. The coroutine resumes where `complete` is first
// called: on any thread, or at once when it was called before `begin` returned. Later calls are
// ignored.
template<typename T> class Completion {
public:
    using Complete = std::function<void(T)>;

    explicit Completion(std::function<void(Complete)> begin) : begin_(std::move(begin)) { }

    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> awaiting)
    {
        state_->awaiting = awaiting;
        begin_([state = state_](T value) {
            if (state->called.exchange(true)) {
                return;
            }
            state->value.emplace(std::move(value));
            // Whichever of the completion and the suspension comes second resumes the coroutine.
            if (state->arrivals.fetch_add(1) == 1) {
                state->awaiting.resume();
            }
        });
        return state_->arrivals.fetch_add(1) == 0; // false: completed already, go on without suspending
    }

    T await_resume() { return std::move(*state_->value); }

private:
    struct State {
        std::coroutine_handle<> awaiting;
        std::atomic<bool> called = false;
        std::atomic<int> arrivals = 0;
        std::optional<T> value;
    };

    std::function<void(Complete)> begin_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

template<typename T> [[nodiscard]] Completion<T> completion(std::function<void(typename Completion<T>::Complete)> begin)
{
    return Completion<T>(std::move(begin));
}

} // namespace quorvantile::setup
