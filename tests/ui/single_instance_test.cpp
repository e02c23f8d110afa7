#include "ui/shell/single_instance.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "platform/runtime/log.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/qt_app.h"

namespace kavri {
namespace {

// Runs the event loop until `done` holds or a generous limit passes.
template <class F>
bool spinUntil(F done) {
    for (int i = 0; i < 20000 && !done(); ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

class SingleInstanceTest : public ::testing::Test {
protected:
    SingleInstanceTest() {
        test::qtApp();
        EXPECT_EQ(running.claim({}), SingleInstance::Role::primary);
    }

    // Sends `chunks` on one connection, each once the previous one was read,
    // and runs the loop until the running app closed the connection.
    void send(const std::vector<QByteArray>& chunks) {
        QLocalSocket socket;
        socket.connectToServer(running.socketPath());
        ASSERT_TRUE(socket.waitForConnected(5000));
        for (const auto& chunk : chunks) {
            socket.write(chunk);
            spinUntil([&] { return socket.bytesToWrite() == 0 || socket.state() == QLocalSocket::UnconnectedState; });
        }
        EXPECT_TRUE(spinUntil([&] { return socket.state() == QLocalSocket::UnconnectedState; }));
    }

    test::TempDir dir;
    SingleInstance running{QString::fromStdString(dir.path().string())};
    QSignalSpy received{&running, &SingleInstance::messageReceived};
    LogCapture log;
};

TEST_F(SingleInstanceTest, OneMessagePerConnectionEvenWhenItArrivesInPieces) {
    send({"kavri://pa", "id\n"});
    ASSERT_EQ(received.count(), 1);
    EXPECT_EQ(received.takeFirst().at(0).toString(), "kavri://paid");

    // A second line on the same connection is refused, and said so.
    send({"kavri://paid\nkavri://link?token=abc\n"});
    ASSERT_EQ(received.count(), 1);
    EXPECT_EQ(received.takeFirst().at(0).toString(), "kavri://paid");
    EXPECT_TRUE(log.containsText("more bytes after the message of a later start")) << ::testing::PrintToString(log.lines());
}

TEST_F(SingleInstanceTest, AMessageLongerThanAnyURLIsRefusedUnread) {
    // 300 KiB without a newline: the connection is cut off once the longest
    // message has passed, long before the rest arrives.
    send({QByteArray(300 * 1024, 'x')});
    EXPECT_EQ(received.count(), 0);
    EXPECT_TRUE(log.containsText("longer than 8192 bytes")) << ::testing::PrintToString(log.lines());

    // The longest message still passes.
    send({"kavri://link?token=" + QByteArray(SingleInstance::maxMessageBytes - 19, 'a') + "\n"});
    ASSERT_EQ(received.count(), 1);
    EXPECT_EQ(received.takeFirst().at(0).toString().size(), SingleInstance::maxMessageBytes);

    // A later start does not even send a longer one.
    SingleInstance later{running.socketPath().section('/', 0, -2)};
    EXPECT_EQ(later.claim("kavri://link?token=" + QString(SingleInstance::maxMessageBytes, 'a'), false,
                          std::chrono::milliseconds(0)),
              SingleInstance::Role::failed);
    EXPECT_TRUE(log.containsText("is not handed to the running app"));
}

}  // namespace
}  // namespace kavri
