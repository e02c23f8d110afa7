#pragma once

#include "app/runtime/main_executor.h"
#include "platform/pasteboard/pasteboard.h"

namespace kavri {

// The desktop's clipboard as the general pasteboard. It is read on the main
// thread, from whichever thread asks; once the main thread has stopped it
// reads as empty.
class ClipboardPasteboard final : public Pasteboard {
public:
    explicit ClipboardPasteboard(MainExecutor& main) : main_(main) {}
    std::optional<std::string> string() const override;

private:
    MainExecutor& main_;
};

}  // namespace kavri
