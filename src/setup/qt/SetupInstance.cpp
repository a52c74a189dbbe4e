#include "setup/qt/SetupInstance.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quorvantile::setup {
namespace {

// How long a later launch tries to reach the running one, which may still be starting (it takes
// the lock before it listens) or be quitting (it stops its server first, up to about 4 seconds).
constexpr int kClaimMilliseconds = 10000;
constexpr int kRetryMilliseconds = 50;
constexpr int kRequestMilliseconds = 2000;
constexpr qint64 kMaximumRequestBytes = 32;

constexpr std::pair<SetupRequest, const char*> kRequestLines[] = {
    {SetupRequest::show, "show\n"}, {SetupRequest::onDemand, "on-demand\n"}, {SetupRequest::loginItem, "login-item\n"}};
constexpr const char* kTaken = "ok\n";
constexpr const char* kRefused = "quitting\n";

QByteArray line(SetupRequest request)
{
    for (const auto& [known, text] : kRequestLines) {
        if (known == request) {
            return text;
        }
    }
    return {};
}

std::optional<SetupRequest> parse(const QByteArray& text)
{
    for (const auto& [request, known] : kRequestLines) {
        if (text == known) {
            return request;
        }
    }
    return std::nullopt;
}

} // namespace

SetupInstance::SetupInstance(QString container, QObject* parent) : QObject(parent), container_(std::move(container)) { }

SetupInstance::~SetupInstance() = default;

SetupInstance::Claim SetupInstance::claim(SetupRequest request, QString& error)
{
    const QByteArray lockPath = (container_ + '/' + kSetupLockFileName).toLocal8Bit();
    // Close-on-exec: the server child must not keep the lock alive after this process ends.
    UniqueFd lock(open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) {
        error = QStringLiteral("cannot open %1: %2").arg(QString::fromLocal8Bit(lockPath), strerror(errno));
        return Claim::failed;
    }
    const QDeadlineTimer deadline(kClaimMilliseconds);
    Answer last = Answer::none;
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            error = QStringLiteral("cannot lock %1: %2").arg(QString::fromLocal8Bit(lockPath), strerror(errno));
            return Claim::failed;
        }
        last = forward(request, static_cast<int>(deadline.remainingTime()));
        if (last == Answer::taken) {
            return Claim::forwarded;
        }
        if (deadline.hasExpired()) {
            error = last == Answer::refused
                ? QStringLiteral("the settings application is already running and did not finish quitting")
                : QStringLiteral("the settings application is already running but does not answer");
            return Claim::failed;
        }
        // Starting, or quitting: its lock goes with it.
        QThread::msleep(kRetryMilliseconds);
    }
    lock_ = std::move(lock);

    const QString socketPath = container_ + '/' + kSetupSocketFileName;
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock makes any socket left here a dead instance's.
    QLocalServer::removeServer(socketPath);
    if (!server_->listen(socketPath)) {
        error = QStringLiteral("cannot listen on %1: %2").arg(socketPath, server_->errorString());
        return Claim::failed;
    }
    connect(server_, &QLocalServer::newConnection, this, &SetupInstance::acceptConnections);
    return Claim::primary;
}

SetupInstance::Answer SetupInstance::forward(SetupRequest request, int waitMilliseconds) const
{
    QLocalSocket socket;
    socket.connectToServer(container_ + '/' + kSetupSocketFileName);
    const QDeadlineTimer deadline(waitMilliseconds);
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
        return Answer::none;
    }
    socket.write(line(request));
    // The answer comes once the running instance has decided.
    while (!socket.canReadLine() && socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) { }
    const QByteArray answer = socket.readLine(kMaximumRequestBytes);
    if (answer == kTaken) {
        return Answer::taken;
    }
    return answer == kRefused ? Answer::refused : Answer::none;
}

void SetupInstance::acceptConnections()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A client that never finishes its line is dropped.
        QTimer::singleShot(kRequestMilliseconds, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaximumRequestBytes) {
                    socket->abort();
                }
                return;
            }
            const auto request = parse(socket->readLine(kMaximumRequestBytes));
            if (!request) {
                socket->abort();
                return;
            }
            // Answered only once decided: a launch told "ok" ends, trusting that its request is done.
            const bool taken = handler_ && handler_(*request);
            socket->write(taken ? kTaken : kRefused);
            socket->disconnectFromServer();
        });
    }
}

} // namespace quorvantile::setup
