#pragma once

#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

namespace kavri {

// One running app per user. The first start holds a lock in the user's
// runtime folder and listens on a local socket there; a later start hands
// its message (the URL it was opened with, or nothing: "show yourself") to
// the running one and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        primary,     // this process is the running app
        handedOver,  // the running app took the message
        failed,      // neither: the running app did not answer, or the
                     // folder is not private to this user
    };

    // The longest message, its newline not counted: a URL of the app's
    // scheme is far shorter. A longer one is refused and logged; so is
    // anything sent after the one message of a connection.
    static constexpr qint64 maxMessageBytes = 8 * 1024;

    // The user's runtime folder: $XDG_RUNTIME_DIR, or a folder of the user's
    // own when that is unset or not private (UserDataDirectory::runtimePath()).
    static QString defaultDirectory();

    explicit SingleInstance(QString directory = defaultDirectory(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the running app's place, or hands `message` to the app that has
    // it. With `waitForPlace` it waits (up to `patience`) for the running app
    // to end and then takes its place: a new instance started by the one
    // that is about to quit. The folder is created (0700) when missing; one
    // that another user owns or may enter is refused at once. A failure is
    // logged.
    Role claim(const QString& message, bool waitForPlace = false,
               std::chrono::milliseconds patience = std::chrono::seconds(30));

    QString socketPath() const;

signals:
    // On the running app: a later start's message.
    void messageReceived(const QString& message);

private:
    bool tryLock();
    Role listen();
    Role handOver(const QString& message);
    void accept();
    void read(QLocalSocket* socket);

    QString directory_;
    int lockFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace kavri
