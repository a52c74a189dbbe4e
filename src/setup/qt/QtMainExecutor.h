#pragma once

#include "setup/Task.h"

#include <QObject>

namespace quorvantile::setup {

// The setup application's main executor: work posted from any thread runs on the thread of the Qt
// event loop that owns this object, one item per event, in the order posted. Work still queued
// when the executor goes away is dropped.
class QtMainExecutor final : public Executor {
public:
    QtMainExecutor() = default;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    void post(std::function<void()> work) override;

private:
    QObject context_;
};

} // namespace quorvantile::setup
