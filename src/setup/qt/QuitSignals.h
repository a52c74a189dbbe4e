#pragma once

#include "common/UniqueFd.h"

#include <QObject>

class QSocketNotifier;

namespace quorvantile::setup {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread, so that they end the
// application through its orderly quit (which stops the server) instead of killing it outright.
// One instance per process; the previous dispositions come back when it goes away.
class QuitSignals final : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    [[nodiscard]] bool installed() const { return notifier_ != nullptr; }

signals:
    void received(int signal);

private:
    void drain();

    UniqueFd readEnd_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace quorvantile::setup
