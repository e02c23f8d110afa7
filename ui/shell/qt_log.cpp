#include "ui/shell/qt_log.h"

#include <cstring>

#include "platform/runtime/log.h"

namespace kavri {
namespace {

const char* levelName(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return "debug";
        case QtInfoMsg:
            return "info";
        case QtWarningMsg:
            return "warning";
        case QtCriticalMsg:
            return "critical";
        case QtFatalMsg:
            return "fatal";
    }
    return "message";
}

void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    // After a fatal message Qt ends the process itself.
    Log::line(QtLog::text(type, context, message));
}

}  // namespace

QtMessageHandler QtLog::install() { return qInstallMessageHandler(handle); }

std::string QtLog::text(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    std::string line = std::string("[Kavri][qt] ") + levelName(type);
    if (context.category && std::strcmp(context.category, "default") != 0) line.append(" ").append(context.category);
    return line.append(": ").append(message.toStdString());
}

}  // namespace kavri
