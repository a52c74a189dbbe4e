#pragma once

#include "setup/Task.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quorvantile::setup {

// An executor with a thread of its own: work runs there one item at a time, in the order posted.
// Destruction runs what is still queued, then joins the thread.
class SerialExecutor final : public Executor {
public:
    SerialExecutor();
    ~SerialExecutor() override;
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    void post(std::function<void()> work) override;

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace quorvantile::setup
