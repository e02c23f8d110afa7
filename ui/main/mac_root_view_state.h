#pragma once

#include <optional>
#include <string>

#include "api/stack_api.h"
#include "app/vpn_manager/vpn_manager.h"
#include "platform/runtime/clock.h"
#include "ui/main/account_banner.h"
#include "ui/main/root_status.h"

namespace kavri {

// Everything the main window's root view draws.
struct MacRootViewState {
    // The main column, or the setup guide while the extension needs the user.
    bool showsSetupGuide = false;

    RootStatus status{"Готов к подключению", PaletteColor::neutral};
    bool haloActive = false;  // connected and not blocked
    std::optional<Clock::WallTime> connectedSince;
    bool logoEnabled = true;  // no toggle under way

    AccountBanner banner;
    bool showsStackCard = false;  // a stack snapshot is known
    bool stackCardBusy = false;   // a location or protocol switch runs
    std::optional<StackAPI::Snapshot> stack;  // what the stack card shows

    bool connected = false;  // the connect button's colours
    std::string connectLabel = "Подключить";
    bool connectBusy = false;  // the label is a spinner
    double connectOpacity = 1;  // 0.4 while blocked
    bool connectEnabled = true;

    bool showMenu = false;
    bool showPlans = false;
    bool showDevices = false;
    bool showStack = false;

    // The "Локация" alert, while present.
    std::optional<std::string> stackError;

    bool operator==(const MacRootViewState&) const = default;
};

}  // namespace kavri
