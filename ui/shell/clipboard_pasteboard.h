#pragma once

#include "app/runtime/main_executor.h"
#include "platform/pasteboard/pasteboard.h"

namespace kavri {

// The desktop's clipboard as the general pasteboard. It is read and written
// on the main thread, from whichever thread asks; once the main thread has
// stopped it reads as empty and writes do nothing.
class ClipboardPasteboard final : public Pasteboard {
public:
    explicit ClipboardPasteboard(MainExecutor& main) : main_(main) {}
    std::optional<std::string> string() const override;
    void clearContents() override;
    void setString(const std::string& text) override;

private:
    MainExecutor& main_;
};

}  // namespace kavri
