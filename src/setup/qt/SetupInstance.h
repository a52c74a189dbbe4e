#pragma once

#include "common/UniqueFd.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QLocalServer;

namespace quorvantile::setup {

// What a later launch asks of the running settings application: to show its window (a launch by
// hand), to bring a server back (a launch on demand), or nothing visible (a launch at login).
enum class SetupRequest { show, onDemand, loginItem };

// At most one settings application per user. The first one holds a lock in the group container
// and listens on a local socket beside it; a later launch hands its request over and ends once the
// running one has taken it. While the running one is quitting it refuses, and the later launch
// waits for it to end and takes its place.
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

    // Decides on each request of a later launch: true when it is taken, false while quitting.
    using Handler = std::function<bool(SetupRequest)>;
    void setHandler(Handler handler) { handler_ = std::move(handler); }

private:
    enum class Answer { taken, refused, none };

    void acceptConnections();
    [[nodiscard]] Answer forward(SetupRequest request, int waitMilliseconds) const;

    QString container_;
    UniqueFd lock_;
    QLocalServer* server_ = nullptr;
    Handler handler_;
};

inline constexpr const char* kSetupLockFileName = "setup-v1.lock";
inline constexpr const char* kSetupSocketFileName = "setup-v1.sock";

} // namespace quorvantile::setup
