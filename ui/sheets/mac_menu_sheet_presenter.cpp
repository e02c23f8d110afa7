#include "ui/sheets/mac_menu_sheet_presenter.h"

#include <cstdio>

#include "core/kavri_constants.h"
#include "core/kavri_notifications.h"
#include "platform/runtime/log.h"

namespace kavri {

using PhaseKind = MacUpdater::Phase::Kind;

namespace {

// One log line for the result of an update check.
void logCheck(const std::optional<AppUpdateInfo>& latest, std::int64_t currentBuild) {
    if (!latest) {
        Log::line("[Kavri] update check: no answer from the update hosts");
        return;
    }
    const bool newer = UpdateControl::hasNewer(latest, currentBuild);
    Log::line("[Kavri] update check: the latest build is " + std::to_string(latest->build) + " (" + latest->version +
              ")" + (newer ? ", newer than this one" : ", this one is up to date"));
}

}  // namespace

MacMenuSheetPresenter::Links MacMenuSheetPresenter::Links::deployment() {
    return {KavriConstants::botURL(), KavriConstants::privacyURL(), KavriConstants::termsURL(),
            KavriConstants::supportURL()};
}

MacMenuSheetPresenter::MacMenuSheetPresenter(MainExecutor& main, Deps deps)
    : main_(main), deps_(std::move(deps)), calls_(main) {
    updater_ = deps_.makeUpdater();
    subscriptionSub_ = deps_.subscription.subscribe([this](std::string_view) { recompute(); });
    updaterSub_ = updater_->subscribe([this](std::string_view) { recompute(); });
    recompute();
}

MacMenuSheetPresenter::~MacMenuSheetPresenter() {
    subscriptionSub_.reset();
    updaterSub_.reset();
    const auto kind = updater_->phase->kind;
    const bool busy = kind == PhaseKind::downloading || kind == PhaseKind::verifying || kind == PhaseKind::installing;
    if (busy && deps_.keepInstalling) deps_.keepInstalling(std::move(updater_));
}

std::string MacMenuSheetPresenter::idText(std::optional<std::int64_t> id) {
    if (!id) return "Ваш ID: —";
    char digits[32];
    std::snprintf(digits, sizeof digits, "%04lld", static_cast<long long>(*id));
    return std::string("Ваш ID: ") + digits;
}

MacMenuSheetPresenter::StatusLine MacMenuSheetPresenter::statusLine(std::optional<SubscriptionState> state,
                                                                    std::optional<std::int64_t> daysLeft,
                                                                    std::optional<Date> expiresAt,
                                                                    const Clock& clock) {
    if (!state) return {"—", PaletteColor::neutral};
    const auto until = [&](const char* prefix, const char* bare) -> std::string {
        if (!expiresAt) return bare;
        return prefix + KavriNotifications::dayMonthSmart(*expiresAt, clock);
    };
    switch (state->value()) {
        case SubscriptionState::trial:
            if (!daysLeft) return {"Пробный период", PaletteColor::success};
            return {"Пробный период: осталось " + std::to_string(*daysLeft) + " " +
                        KavriNotifications::pluralDays(*daysLeft),
                    PaletteColor::success};
        case SubscriptionState::paidAutopay:
        case SubscriptionState::granted: return {until("Активна до ", "Активна"), PaletteColor::success};
        case SubscriptionState::paidCancelled: return {until("Оплачено до ", "Оплачено"), PaletteColor::success};
        case SubscriptionState::chargeFailed: return {"Списание не прошло", PaletteColor::danger};
        case SubscriptionState::expired: return {"Закончилась", PaletteColor::danger};
    }
    return {"—", PaletteColor::neutral};
}

std::optional<std::string> MacMenuSheetPresenter::referralLink(
    const std::optional<KavriAPI::StatusResult::Referral>& referral, std::optional<std::int64_t> id,
    const std::string& botURL) {
    if (referral) {
        if (referral->webLink && !referral->webLink->empty()) return referral->webLink;
        if (referral->link && !referral->link->empty()) return referral->link;
    }
    if (!id) return std::nullopt;
    return botURL + "?start=ref_" + std::to_string(*id);
}

UpdateControl::Inputs MacMenuSheetPresenter::updateInputs() const {
    return {updater_->phase.get(), checking_, latest_, deps_.currentBuild};
}

void MacMenuSheetPresenter::recompute() {
    const auto& sub = deps_.subscription;
    MacMenuSheetState s;
    if (copiedID_) {
        s.idLine = "Скопировано";
        s.idColor = PaletteColor::accent;
    } else {
        s.idLine = idText(sub.subscriptionID.get());
        s.idColor = PaletteColor::text;
    }
    const auto line = statusLine(sub.state.get(), sub.daysLeft.get(), sub.expiresAt.get(), deps_.clock);
    s.statusText = line.text;
    s.statusColor = line.color;
    s.installedVersion = deps_.currentVersion + " (" + std::to_string(deps_.currentBuild) + ")";
    s.versionHighlighted = UpdateControl::hasNewer(latest_, deps_.currentBuild);
    s.update = UpdateControl::of(updateInputs());

    s.showsReferral = sub.referral->has_value();
    const auto link = referralLink(sub.referral.get(), sub.subscriptionID.get(), deps_.links.bot);
    const bool usable = link && !link->empty();
    s.referralEnabled = usable;
    if (copiedLink_) {
        s.referralText = "Ссылка скопирована";
        s.referralTint = {PaletteColor::accent, 1};
    } else {
        s.referralText = "Ссылка для приглашения";
        s.referralTint = usable ? PaletteTint{PaletteColor::accent, 1} : PaletteTint{PaletteColor::textSecondary, 0.4};
    }
    if (s == state_) return;
    state_ = std::move(s);
    if (onChange_) onChange_();
}

void MacMenuSheetPresenter::appear() {
    if (latest_ || appearanceCheck_.valid()) return;
    checking_ = true;
    recompute();
    appearanceCheck_ = calls_.start([this](StoreCalls::Call& call) {
        auto found = deps_.fetchLatest(call.stopToken());
        call.onMain([&] {
            latest_ = std::move(found);
            logCheck(latest_, deps_.currentBuild);
            checking_ = false;
            appearanceCheck_ = {};
            recompute();
        });
    });
}

void MacMenuSheetPresenter::disappear() {
    if (!appearanceCheck_.valid()) return;
    appearanceCheck_.cancel();
    appearanceCheck_ = {};
    checking_ = false;
    recompute();
}

void MacMenuSheetPresenter::checkForUpdate() {
    checking_ = true;
    recompute();
    calls_.start([this](StoreCalls::Call& call) {
        auto found = deps_.fetchLatest(call.stopToken());
        call.onMain([&] {
            latest_ = std::move(found);
            logCheck(latest_, deps_.currentBuild);
            checking_ = false;
            recompute();
        });
    });
}

void MacMenuSheetPresenter::copy(const std::string& text, Copied which) {
    deps_.pasteboard->clearContents();
    deps_.pasteboard->setString(text);
    bool& flag = which == Copied::id ? copiedID_ : copiedLink_;
    flag = true;
    recompute();
    calls_.start([this, &flag](StoreCalls::Call& call) {
        deps_.clock.sleepFor(copiedFor, call.stopToken());
        call.onMain([&] {
            flag = false;
            recompute();
        });
    });
}

void MacMenuSheetPresenter::doneClicked() {
    if (deps_.onClose) deps_.onClose();
}

void MacMenuSheetPresenter::idClicked() { copy(idText(deps_.subscription.subscriptionID.get()), Copied::id); }

void MacMenuSheetPresenter::plansClicked() {
    if (deps_.onPlans) deps_.onPlans();
}

void MacMenuSheetPresenter::devicesClicked() {
    if (deps_.onDevices) deps_.onDevices();
}

void MacMenuSheetPresenter::updateClicked() {
    if (!state_.update.enabled) return;
    std::optional<std::string> address;
    switch (UpdateControl::onClick(updateInputs(), &address)) {
        case UpdateControl::Action::openDownload: deps_.openURL(*address); break;
        case UpdateControl::Action::install: updater_->install(*latest_); break;
        case UpdateControl::Action::check: checkForUpdate(); break;
    }
}

void MacMenuSheetPresenter::referralClicked() {
    const auto& sub = deps_.subscription;
    const auto link = referralLink(sub.referral.get(), sub.subscriptionID.get(), deps_.links.bot);
    if (!sub.referral->has_value() || !link || link->empty()) return;
    copy(*link, Copied::link);
}

void MacMenuSheetPresenter::privacyClicked() { deps_.openURL(deps_.links.privacy); }
void MacMenuSheetPresenter::termsClicked() { deps_.openURL(deps_.links.terms); }
void MacMenuSheetPresenter::supportClicked() { deps_.openURL(deps_.links.support); }

}  // namespace kavri
