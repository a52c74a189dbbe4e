#pragma once

#include "common/UniqueFd.h"

#include <QObject>
#include <QString>

#include <optional>

class QLocalServer;

namespace quorvantile::setup {

// What a later launch asks of the running settings application.
enum class SetupRequest { show, onDemand };

// At most one settings application per user. The first one holds a lock in the group container
// and listens on a local socket beside it; a later launch hands its request over and ends.
class SetupInstance final : public QObject {
    Q_OBJECT

public:
    enum class Claim { primary, forwarded, failed };

    explicit SetupInstance(QString container, QObject* parent = nullptr);
    ~SetupInstance() override;
    SetupInstance(const SetupInstance&) = delete;
    SetupInstance& operator=(const SetupInstance&) = delete;

    // primary: this process is the one instance and now listens; forwarded: the running instance
    // took `request`; failed: neither, and `error` says why in one line.
    [[nodiscard]] Claim claim(SetupRequest request, QString& error);

signals:
    void requested(quorvantile::setup::SetupRequest request);

private:
    void acceptConnections();
    [[nodiscard]] bool forward(SetupRequest request, QString& error) const;

    QString container_;
    UniqueFd lock_;
    QLocalServer* server_ = nullptr;
};

inline constexpr const char* kSetupLockFileName = "setup-v1.lock";
inline constexpr const char* kSetupSocketFileName = "setup-v1.sock";

} // namespace quorvantile::setup
