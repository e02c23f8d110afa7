#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "api/app_update_info.h"
#include "api/kavri_api.h"
#include "app/runtime/observable_store.h"
#include "app/runtime/store_calls.h"
#include "app/subscription_store.h"
#include "app/updater/mac_updater.h"
#include "platform/pasteboard/pasteboard.h"
#include "platform/runtime/clock.h"
#include "ui/sheets/mac_menu_sheet_state.h"

namespace kavri {

// The logic of the account menu sheet: the account number and the
// invitation link that copy themselves (with a confirmation for 1.6 s), the
// subscription line, the ways to the plans and the devices, the version
// with its update control, and the links of the footer. One presenter per
// opening of the sheet: it starts from the initial state and checks for an
// update once while on screen. Main thread only.
class MacMenuSheetPresenter {
public:
    static constexpr std::chrono::milliseconds copiedFor{1600};

    // The web pages the sheet opens or builds on.
    struct Links {
        std::string bot;      // the messenger bot; "?start=ref_<id>" is appended
        std::string privacy;
        std::string terms;
        std::string support;
        static Links deployment();
    };

    struct Deps {
        SubscriptionStore& subscription;
        std::function<void()> onPlans;
        std::function<void()> onDevices;
        std::function<void()> onClose;
        // Opens an address with the desktop's default handler.
        std::function<void(const std::string&)> openURL;
        std::shared_ptr<Pasteboard> pasteboard;
        // The update manifest's offer, or nothing (blocking).
        std::function<std::optional<AppUpdateInfo>(std::stop_token)> fetchLatest;
        // The sheet's own updater, made with the sheet.
        std::function<std::shared_ptr<MacUpdater>()> makeUpdater;
        // Takes the updater when the sheet goes while it downloads, checks or
        // installs, so that the attempt runs on; without it the attempt ends
        // with the sheet.
        std::function<void(std::shared_ptr<MacUpdater>)> keepInstalling;
        std::int64_t currentBuild = 0;
        std::string currentVersion = "?";
        Links links;
        Clock& clock = Clock::system();
    };

    MacMenuSheetPresenter(MainExecutor& main, Deps deps);
    // An installation under way goes to keepInstalling; everything else stops.
    ~MacMenuSheetPresenter();
    MacMenuSheetPresenter(const MacMenuSheetPresenter&) = delete;
    MacMenuSheetPresenter& operator=(const MacMenuSheetPresenter&) = delete;

    const MacMenuSheetState& state() const { return state_; }
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    // On screen: checks for an update unless one was found already. Leaving
    // the screen ends that check.
    void appear();
    void disappear();

    // The user's actions.
    void doneClicked();
    void idClicked();
    void plansClicked();
    void devicesClicked();
    void updateClicked();
    void referralClicked();
    void privacyClicked();
    void termsClicked();
    void supportClicked();

    // Sets `checkingUpdate`, reads the manifest into `latest`, clears it.
    void checkForUpdate();

    const std::optional<AppUpdateInfo>& latest() const { return latest_; }
    bool checkingUpdate() const { return checking_; }
    MacUpdater& updater() { return *updater_; }

    // The derived texts, as tables.
    static std::string idText(std::optional<std::int64_t> subscriptionID);
    struct StatusLine {
        std::string text;
        PaletteColor color;
        bool operator==(const StatusLine&) const = default;
    };
    static StatusLine statusLine(std::optional<SubscriptionState> state, std::optional<std::int64_t> daysLeft,
                                 std::optional<Date> expiresAt, const Clock& clock);
    static std::optional<std::string> referralLink(const std::optional<KavriAPI::StatusResult::Referral>& referral,
                                                   std::optional<std::int64_t> subscriptionID,
                                                   const std::string& botURL);

private:
    enum class Copied { id, link };
    void copy(const std::string& text, Copied flag);
    void recompute();
    UpdateControl::Inputs updateInputs() const;

    MainExecutor& main_;
    Deps deps_;
    std::function<void()> onChange_;
    MacMenuSheetState state_;

    // Each raised by a copy and lowered by the first reset that comes due,
    // also when a later copy raised it again.
    bool copiedID_ = false;
    bool copiedLink_ = false;
    std::optional<AppUpdateInfo> latest_;
    bool checking_ = false;
    std::shared_ptr<MacUpdater> updater_;

    ObservableStore::Subscription subscriptionSub_, updaterSub_;
    StoreCalls::Handle appearanceCheck_;
    StoreCalls calls_;  // last: its calls end before what they use goes
};

}  // namespace kavri
