#include "ui/shell/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QLocalSocket>
#include <QThread>

#include "platform/runtime/log.h"
#include "platform/userdata/user_data_directory.h"

namespace kavri {

namespace {

constexpr int kStepMs = 50;

}  // namespace

QString SingleInstance::defaultDirectory() {
    return QString::fromStdString(UserDataDirectory::runtimePath().string());
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
        const QByteArray path = QDir(directory_).filePath("kavri.lock").toLocal8Bit();
        lockFd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (lockFd_ < 0) return false;
    }
    return ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

SingleInstance::Role SingleInstance::claim(const QString& message, bool waitForPlace,
                                           std::chrono::milliseconds patience) {
    if (!UserDataDirectory::ensurePrivate(directory_.toStdString())) {
        Log::line("[Kavri] !! the runtime folder " + directory_.toStdString() +
                  " is not this user's own (a folder of mode 0700 that the user owns)");
        return Role::failed;
    }
    // Either the lock is free, or the app that holds it answers on its
    // socket (it may hold the lock a moment before it listens).
    for (auto waited = std::chrono::milliseconds(0);; waited += std::chrono::milliseconds(kStepMs)) {
        if (tryLock()) return listen();
        if (!waitForPlace) {
            const Role role = handOver(message);
            if (role != Role::failed) return role;
        }
        if (waited >= patience) {
            Log::line("[Kavri] !! the running app did not answer on " + socketPath().toStdString());
            return Role::failed;
        }
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
    if (message.toUtf8().size() > maxMessageBytes) {
        Log::line("[Kavri] !! a URL longer than " + std::to_string(maxMessageBytes) +
                  " bytes is not handed to the running app");
        return Role::failed;
    }
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
        // A socket's buffer grows with whatever the peer sends, so nothing
        // past the longest message is kept: the peer is cut off there.
        socket->setReadBufferSize(maxMessageBytes + 1);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
    }
}

void SingleInstance::read(QLocalSocket* socket) {
    if (socket->property("kavriAnswered").toBool()) {
        // One message per connection: whatever follows it is refused.
        const auto extra = socket->readAll();
        if (!extra.isEmpty())
            Log::line("[Kavri] refused " + std::to_string(extra.size()) +
                      " more bytes after the message of a later start");
        return;
    }
    const QByteArray head = socket->peek(maxMessageBytes + 1);
    const auto newline = head.indexOf('\n');
    if (newline < 0) {
        if (head.size() <= maxMessageBytes) return;  // the rest is on its way
        Log::line("[Kavri] refused a message of a later start longer than " + std::to_string(maxMessageBytes) +
                  " bytes");
        socket->abort();
        return;
    }
    const QString message = QString::fromUtf8(socket->read(newline + 1).chopped(1));
    socket->setProperty("kavriAnswered", true);
    read(socket);  // logs anything sent after the message
    socket->write("ok\n");
    socket->flush();
    socket->disconnectFromServer();
    emit messageReceived(message);
}

}  // namespace kavri
