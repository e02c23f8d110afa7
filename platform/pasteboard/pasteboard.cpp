#include "platform/pasteboard/pasteboard.h"

namespace kavri {
namespace {

std::mutex& installMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<Pasteboard>& installed() {
    static std::shared_ptr<Pasteboard> p;
    return p;
}

}  // namespace

std::shared_ptr<Pasteboard> Pasteboard::general() {
    std::lock_guard lock(installMutex());
    if (!installed()) installed() = std::make_shared<TextPasteboard>();
    return installed();
}

void Pasteboard::install(std::shared_ptr<Pasteboard> pasteboard) {
    std::lock_guard lock(installMutex());
    installed() = std::move(pasteboard);
}

std::optional<std::string> TextPasteboard::string() const {
    std::lock_guard lock(mutex_);
    return text_;
}

void TextPasteboard::clearContents() {
    std::lock_guard lock(mutex_);
    text_.reset();
}

void TextPasteboard::setString(const std::string& text) {
    std::lock_guard lock(mutex_);
    text_ = text;
}

}  // namespace kavri
