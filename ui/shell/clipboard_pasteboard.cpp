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

}  // namespace kavri
