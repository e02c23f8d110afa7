#pragma once

#include <string>

namespace kavri {

// Everything the tray menu draws: the status line, then the connect item's
// title and whether it can be chosen ("Открыть Каври" and "Выйти" never
// change).
struct MacMenuViewState {
    std::string statusText = "Выключено";
    std::string connectTitle = "Подключить";
    bool connectEnabled = true;

    bool operator==(const MacMenuViewState&) const = default;
};

}  // namespace kavri
