#pragma once

#include <QString>
#include <QtGlobal>

#include <string>

namespace kavri {

// Qt's own messages ("QStandardPaths: ...", a platform plugin's warnings)
// go to the process log like every other line, with its time stamp:
// "[Kavri][qt] warning: <message>", the category added when it is not Qt's
// default one ("[Kavri][qt] warning qt.qpa.xcb: <message>").
class QtLog {
public:
    // Makes the process log Qt's message handler; returns the one before.
    static QtMessageHandler install();

    // The line a message is logged as.
    static std::string text(QtMsgType type, const QMessageLogContext& context, const QString& message);
};

}  // namespace kavri
