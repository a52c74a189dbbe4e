#pragma once

// The setup side's asynchronous model: lazily started coroutines (`Task<T>`) that run on whichever
// executor they hop to with `co_await resumeOn(executor)`. The application's main executor is its
// event loop; each controller owns a serial executor of its own; tests step a manual one.

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

namespace quorvantile::setup {

// Runs posted work, one item at a time, in the order posted. `post` may be called from any thread.
class Executor {
public:
    virtual ~Executor() = default;
    virtual void post(std::function<void()> work) = 0;
};

template<typename T> class Task;

namespace detail {

class PromiseBase {
public:
    std::suspend_always initial_suspend() noexcept { return {}; }

    // Hands control straight to the awaiting coroutine, on the thread that finished this one.
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template<typename Promise> std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> done) noexcept
        {
            if (auto next = done.promise().continuation_) {
                return next;
            }
            return std::noop_coroutine();
        }
        void await_resume() noexcept { }
    };
    FinalAwaiter final_suspend() noexcept { return {}; }

    void unhandled_exception() noexcept { exception_ = std::current_exception(); }

    std::coroutine_handle<> continuation_;
    std::exception_ptr exception_;
};

} // namespace detail

namespace detail {

// What every Task shares: it owns its coroutine frame, starts it when awaited, and rethrows what
// the coroutine threw.
template<typename Promise> class TaskBase {
public:
    TaskBase(TaskBase&& other) noexcept : handle_(std::exchange(other.handle_, {})) { }
    TaskBase& operator=(TaskBase&& other) noexcept
    {
        if (this != &other) {
            destroy();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    TaskBase(const TaskBase&) = delete;
    TaskBase& operator=(const TaskBase&) = delete;
    ~TaskBase() { destroy(); }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept
    {
        handle_.promise().continuation_ = awaiting;
        return handle_;
    }

protected:
    explicit TaskBase(std::coroutine_handle<Promise> handle) : handle_(handle) { }

    Promise& finishedPromise()
    {
        if (handle_.promise().exception_) {
            std::rethrow_exception(handle_.promise().exception_);
        }
        return handle_.promise();
    }

private:
    void destroy()
    {
        if (handle_) {
            handle_.destroy();
        }
    }
    std::coroutine_handle<Promise> handle_;
};

template<typename T> class ValuePromise : public PromiseBase {
public:
    Task<T> get_return_object() { return Task<T>(std::coroutine_handle<ValuePromise>::from_promise(*this)); }
    template<typename Value> void return_value(Value&& value) { value_.emplace(std::forward<Value>(value)); }
    std::optional<T> value_;
};

class VoidPromise : public PromiseBase {
public:
    Task<void> get_return_object();
    void return_void() noexcept { }
};

} // namespace detail

// A coroutine that starts when it is awaited and resumes its awaiter when it finishes.
template<typename T> class [[nodiscard]] Task : public detail::TaskBase<detail::ValuePromise<T>> {
public:
    using promise_type = detail::ValuePromise<T>;
    T await_resume() { return std::move(*this->finishedPromise().value_); }

private:
    friend promise_type;
    explicit Task(std::coroutine_handle<promise_type> handle) : detail::TaskBase<promise_type>(handle) { }
};

template<> class [[nodiscard]] Task<void> : public detail::TaskBase<detail::VoidPromise> {
public:
    using promise_type = detail::VoidPromise;
    void await_resume() { (void)finishedPromise(); }

private:
    friend promise_type;
    explicit Task(std::coroutine_handle<promise_type> handle) : detail::TaskBase<promise_type>(handle) { }
};

inline Task<void> detail::VoidPromise::get_return_object()
{
    return Task<void>(std::coroutine_handle<VoidPromise>::from_promise(*this));
}

// `co_await resumeOn(executor)` continues the coroutine as a work item of that executor.
class ResumeOn {
public:
    explicit ResumeOn(Executor& executor) : executor_(executor) { }
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const
    {
        executor_.post([handle] { handle.resume(); });
    }
    void await_resume() const noexcept { }

private:
    Executor& executor_;
};

[[nodiscard]] inline ResumeOn resumeOn(Executor& executor) { return ResumeOn(executor); }

namespace detail {

// A coroutine that runs as soon as it is called and frees itself at its end.
struct Detached {
    struct promise_type {
        Detached get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept { }
        // Nobody is left to receive it: an escaped exception is a programming error.
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

} // namespace detail

// Starts `task` on the calling thread; nothing waits for its end.
inline detail::Detached startDetached(Task<void> task) { co_await std::move(task); }

} // namespace quorvantile::setup
