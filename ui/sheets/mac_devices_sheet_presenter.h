#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/device_link_api.h"
#include "app/runtime/store_calls.h"
#include "app/subscription_store.h"
#include "platform/qrcode/qr_code_generator.h"
#include "ui/sheets/mac_devices_sheet_view_state.h"

namespace kavri {

// The logic of the devices sheet: the subscription's other devices with the
// usage against the limit and their removal (for owners), and one account
// block: sharing a code with its QR picture, joining by a code, or
// unlinking a member device. Main thread only. Its requests run as calls of
// a set that outlives the sheet, so that a request started here runs to its
// end when the sheet closes (writing into a state nobody sees any more),
// except the list's loading, which ends with the sheet.
class MacDevicesSheetPresenter {
public:
    using Device = DeviceLinkAPI::Device;

    static constexpr const char* codeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    static constexpr std::size_t codeLength = 6;
    static constexpr const char* linkPrefix = "kavri://link?code=";
    static constexpr int qrScale = 10;

    static constexpr const char* removedText = "Устройство удалено — доступ там отключён";
    static constexpr const char* removeFailedText = "Не удалось убрать устройство";
    static constexpr const char* unlinkFailedText = "Не удалось отвязаться — попробуйте ещё раз";
    // The code was redeemed but its token could not be kept on this device.
    static constexpr const char* joinNotKeptText =
        "Доступ перенесён, но не сохранился на этом устройстве — попросите новый код и введите его ещё раз";

    struct Deps {
        SubscriptionStore& subscription;
        // Runs the sheet's requests; must outlive the sheet.
        StoreCalls& calls;
        DeviceLinkAPI api;
        // The keychain's subscription token, as stored; storing a new one
        // (throws KeychainError).
        std::function<std::optional<std::string>()> readToken;
        std::function<void(const std::string&)> writeToken;
        // Opens a web page in the user's browser.
        std::function<void(const std::string&)> openURL;
        // Hides the sheet.
        std::function<void()> onClose;
    };
    // Deps with the keychain's token functions.
    static Deps keychainDeps(SubscriptionStore& subscription, StoreCalls& calls, DeviceLinkAPI api,
                             std::function<void(const std::string&)> openURL, std::function<void()> onClose);

    explicit MacDevicesSheetPresenter(Deps deps);
    ~MacDevicesSheetPresenter();
    MacDevicesSheetPresenter(const MacDevicesSheetPresenter&) = delete;
    MacDevicesSheetPresenter& operator=(const MacDevicesSheetPresenter&) = delete;

    const MacDevicesSheetViewState& state() const { return state_; }
    // Called on the main thread whenever state() changed, and after an edit
    // of the code that the filter altered, so that the field is rewritten.
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

    // The sheet came on screen (an owner's list is loaded) or left it (the
    // loading ends).
    void appear();
    void disappear();

    // The user's actions.
    void closeClicked();
    void removeClicked(const std::string& id);  // removes at once
    void showCode();
    void codeEdited(const std::string& text);
    void confirmJoin();
    void unlink();
    void openInstallPage();

    // Fetches the device list into the state; nothing without a token, and a
    // failure keeps the list as it was.
    void loadDevices();
    // Removes one device and says so in the message, then loads the list
    // again; a failure says so and keeps the list.
    void removeDevice(const Device& device);

    // --- the texts and pictures, as pure functions ---
    static std::string platformTitle(const Device& device);
    static std::string addedText(const Device& device);
    // The usage line: `limit` 5 when unknown; `freeSlots` absent without a limit.
    static std::string usageText(bool devicesLoaded, std::optional<std::int64_t> limit,
                                 const std::vector<Device>& devices);
    static std::optional<std::int64_t> freeSlots(std::optional<std::int64_t> limit, const std::vector<Device>& devices);
    // Upper-cased, only the code alphabet's characters, at most six of them.
    static std::string filterCode(std::string_view text);
    static std::string inviteErrorText(const std::exception& error);
    static std::string joinErrorText(const std::exception& error);
    // " до " and the day and month.
    static std::string untilSuffix(Clock::WallTime date);
    // The QR symbol of `text` (level M), one module 10 × 10 pixels.
    static std::optional<GrayImage> qrImage(std::string_view text);

private:
    // The sheet's own state; the requests write into it after the sheet
    // is gone, where nobody reads it.
    struct Model;

    // Publishes the state when it changed, or always when `publish`.
    void recompute(bool publish = false);
    static void load(StoreCalls::Call& call, const std::shared_ptr<Model>& model, const DeviceLinkAPI& api,
                     const std::string& token);

    Deps deps_;
    std::shared_ptr<Model> model_;
    std::function<void()> onChange_;
    MacDevicesSheetViewState state_;
    bool appeared_ = false;
    bool listShown_ = false;
    std::optional<std::string> qrFor_;  // the code of the kept picture
    std::optional<GrayImage> qr_;
    StoreCalls::Handle loading_;
    ObservableStore::Subscription subscriptionSub_;
};

}  // namespace kavri
