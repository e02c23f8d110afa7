#include "ui/shell/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include "platform/runtime/log.h"

namespace kavri {

namespace {

constexpr int kStepMs = 50;

}  // namespace

QString SingleInstance::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::SingleInstance(QString directory, QObject* parent)
    : QObject(parent), directory_(std::move(directory)) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
    if (lockFd_ >= 0) ::close(lockFd_);
}

QString SingleInstance::socketPath() const { return QDir(directory_).filePath("kavri.sock"); }

bool SingleInstance::tryLock() {
    if (lockFd_ < 0) {
        QDir().mkpath(directory_);
        const QByteArray path = QDir(directory_).filePath("kavri.lock").toLocal8Bit();
        lockFd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0) return false;
    }
    return ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

SingleInstance::Role SingleInstance::claim(const QString& message, bool waitForPlace,
                                           std::chrono::milliseconds patience) {
    // Either the lock is free, or the app that holds it answers on its
    // socket (it may hold the lock a moment before it listens).
    for (auto waited = std::chrono::milliseconds(0);; waited += std::chrono::milliseconds(kStepMs)) {
        if (tryLock()) return listen();
        if (!waitForPlace) {
            const Role role = handOver(message);
            if (role != Role::failed) return role;
        }
        if (waited >= patience) return Role::failed;
        QThread::msleep(kStepMs);
    }
}

SingleInstance::Role SingleInstance::listen() {
    // The lock is ours: a socket left by an app that died is stale.
    QLocalServer::removeServer(socketPath());
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath())) {
        Log::line("[Kavri] cannot listen on " + socketPath().toStdString() + ": " +
                  server_->errorString().toStdString());
    }
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::accept);
    return Role::primary;
}

SingleInstance::Role SingleInstance::handOver(const QString& message) {
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(1000)) return Role::failed;
    socket.write(message.toUtf8() + '\n');
    socket.flush();
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(10000)) return Role::failed;
    }
    return socket.readLine().trimmed() == "ok" ? Role::handedOver : Role::failed;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) return;
            const QString message = QString::fromUtf8(socket->readLine()).chopped(1);
            socket->write("ok\n");
            socket->flush();
            socket->disconnectFromServer();
            emit messageReceived(message);
        });
    }
}

}  // namespace kavri
