#include "ui/main/mac_setup_guide_presenter.h"

namespace kavri {

namespace {
constexpr const char* approvalTitle = "Остался один шаг";
constexpr const char* approvalSubtitle =
    "Разрешите сетевой модуль «Каври Tunnel» — через него идёт защищённое соединение.";
}  // namespace

MacSetupGuidePresenter::MacSetupGuidePresenter(SystemExtensionInstaller& sysex, OpenURL openURL)
    : sysex_(sysex), openURL_(std::move(openURL)), state_(stateFor(sysex.state.get())) {
    sub_ = sysex_.subscribe([this](std::string_view field) {
        if (field != "state") return;
        const MacSetupGuideViewState next = stateFor(sysex_.state.get());
        if (next == state_) return;
        state_ = next;
        if (onChange_) onChange_();
    });
}

MacSetupGuideViewState MacSetupGuidePresenter::stateFor(const SystemExtensionInstaller::State& state) {
    using Kind = SystemExtensionInstaller::State::Kind;
    switch (state.kind) {
        case Kind::notInApplications:
            return {"Установить Каври",
                    "Каври запущен из образа. Одно нажатие — и он переедет в «Программы» и откроется уже оттуда.",
                    false, "Переместить и запустить"};
        case Kind::needsApproval: return {approvalTitle, approvalSubtitle, true, "Открыть Системные настройки"};
        case Kind::needsReboot: return {"Нужна перезагрузка", "Модуль включится после перезагрузки мака.", false, ""};
        case Kind::failed: return {"Не удалось включить модуль", state.text, false, "Повторить"};
        case Kind::idle:
        case Kind::installing:
        case Kind::installed: break;
    }
    return {approvalTitle, approvalSubtitle, false, ""};
}

void MacSetupGuidePresenter::buttonClicked() {
    using Kind = SystemExtensionInstaller::State::Kind;
    switch (sysex_.state->kind) {
        case Kind::notInApplications: sysex_.moveToApplications(); break;
        case Kind::needsApproval: openExtensionSettings(); break;
        case Kind::failed: sysex_.activate(); break;
        default: break;
    }
}

void MacSetupGuidePresenter::openExtensionSettings() {
    if (!openURL_) return;
    if (openURL_(extensionSettingsURL)) return;
    openURL_(securitySettingsURL);
}

}  // namespace kavri
