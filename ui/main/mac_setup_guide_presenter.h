#pragma once

#include <array>
#include <functional>
#include <string>

#include "app/runtime/observable_store.h"
#include "app/sysext/system_extension_installer.h"
#include "ui/main/mac_setup_guide_view_state.h"

namespace kavri {

// The logic of the setup guide: its texts follow the extension installer's
// state live, and its one button moves the app into the applications
// folder, opens the settings where the extension is approved, or asks for
// the activation again. Keeps no state of its own. Main thread only.
class MacSetupGuidePresenter {
public:
    // Opens a URL in the desktop; false when nothing could open it.
    using OpenURL = std::function<bool(const std::string& url)>;

    static constexpr const char* extensionSettingsURL =
        "x-apple.systempreferences:com.apple.LoginItems-Settings.extension";
    static constexpr const char* securitySettingsURL = "x-apple.systempreferences:com.apple.preference.security?General";
    static constexpr std::array<const char*, 3> steps{
        "Откройте «Основные» → «Объекты входа и расширения»",
        "Пролистайте вниз до строки «Сетевые расширения» и нажмите ⓘ справа",
        "Включите тумблер «Каври Tunnel» и подтвердите паролем",
    };
    static constexpr const char* note = "Это разовое действие — больше вы его не увидите.";

    MacSetupGuidePresenter(SystemExtensionInstaller& sysex, OpenURL openURL);
    MacSetupGuidePresenter(const MacSetupGuidePresenter&) = delete;
    MacSetupGuidePresenter& operator=(const MacSetupGuidePresenter&) = delete;

    const MacSetupGuideViewState& state() const { return state_; }
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    static MacSetupGuideViewState stateFor(const SystemExtensionInstaller::State& state);

    // The button of the state on screen.
    void buttonClicked();
    // The extensions' part of the settings, else the security pane.
    void openExtensionSettings();

private:
    SystemExtensionInstaller& sysex_;
    OpenURL openURL_;
    MacSetupGuideViewState state_;
    std::function<void()> onChange_;
    ObservableStore::Subscription sub_;
};

}  // namespace kavri
