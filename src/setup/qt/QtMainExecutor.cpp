#include "setup/qt/QtMainExecutor.h"

#include <QMetaObject>

namespace quorvantile::setup {

void QtMainExecutor::post(std::function<void()> work)
{
    // A queued call on a context object is a posted event: safe from any thread, dropped with it.
    QMetaObject::invokeMethod(&context_, std::move(work), Qt::QueuedConnection);
}

} // namespace quorvantile::setup
