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

namespace quorvantile::setup {
namespace {

constexpr int kForwardMilliseconds = 3000;
constexpr int kRequestMilliseconds = 2000;
constexpr qint64 kMaximumRequestBytes = 32;

QByteArray line(SetupRequest request) { return request == SetupRequest::show ? "show\n" : "on-demand\n"; }

std::optional<SetupRequest> parse(const QByteArray& text)
{
    if (text == "show\n") {
        return SetupRequest::show;
    }
    if (text == "on-demand\n") {
        return SetupRequest::onDemand;
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
    if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            error = QStringLiteral("cannot lock %1: %2").arg(QString::fromLocal8Bit(lockPath), strerror(errno));
            return Claim::failed;
        }
        return forward(request, error) ? Claim::forwarded : Claim::failed;
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

bool SetupInstance::forward(SetupRequest request, QString& error) const
{
    // The running instance may still be starting: it takes the lock before it listens.
    const QDeadlineTimer deadline(kForwardMilliseconds);
    QLocalSocket socket;
    while (true) {
        socket.connectToServer(container_ + '/' + kSetupSocketFileName);
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            break;
        }
        if (deadline.hasExpired()) {
            error = QStringLiteral("the settings application is already running but does not answer");
            return false;
        }
        QThread::msleep(50);
    }
    socket.write(line(request));
    while (socket.bytesAvailable() < 3 && socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) { }
    if (socket.readAll() != "ok\n") {
        error = QStringLiteral("the settings application is already running but did not take the request");
        return false;
    }
    return true;
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
            socket->write("ok\n");
            socket->disconnectFromServer();
            emit requested(*request);
        });
    }
}

} // namespace quorvantile::setup
