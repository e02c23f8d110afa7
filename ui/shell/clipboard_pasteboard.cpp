#include "ui/shell/clipboard_pasteboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace kavri {

std::optional<std::string> ClipboardPasteboard::string() const {
    try {
        return main_.invoke([]() -> std::optional<std::string> {
            const QString text = QGuiApplication::clipboard()->text();
            if (text.isEmpty()) return std::nullopt;
            return text.toStdString();
        });
    } catch (const MainExecutor::Stopped&) {
        return std::nullopt;
    }
}

void ClipboardPasteboard::clearContents() {
    try {
        main_.invoke([] { QGuiApplication::clipboard()->clear(); });
    } catch (const MainExecutor::Stopped&) {
    }
}

void ClipboardPasteboard::setString(const std::string& text) {
    try {
        main_.invoke([&] { QGuiApplication::clipboard()->setText(QString::fromStdString(text)); });
    } catch (const MainExecutor::Stopped&) {
    }
}

}  // namespace kavri
