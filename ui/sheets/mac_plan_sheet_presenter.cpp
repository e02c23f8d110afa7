#include "ui/sheets/mac_plan_sheet_presenter.h"

#include "core/kavri_notifications.h"

namespace kavri {

MacPlanSheetPresenter::MacPlanSheetPresenter(MainExecutor& main, Deps deps) : main_(main), deps_(std::move(deps)) {
    subscriptionSub_ = deps_.subscription.subscribe([this](std::string_view field) {
        if (field == deps_.subscription.plans.name()) recompute();
    });
    recompute();
}

MacPlanSheetPresenter::~MacPlanSheetPresenter() {
    *alive_ = false;
    subscriptionSub_.reset();
    loading_.cancel();
}

std::string MacPlanSheetPresenter::planTitle(const KavriAPI::StatusResult::Plan& plan) {
    std::string text = "на " + std::to_string(plan.days) + " " + KavriNotifications::pluralDays(plan.days);
    if (plan.subtitle && !plan.subtitle->empty()) text += " · " + *plan.subtitle;
    return text;
}

void MacPlanSheetPresenter::recompute() {
    const auto& plans = deps_.subscription.plans.get();
    MacPlanSheetState s;
    s.loading = plans.empty();
    for (const auto& plan : plans) {
        MacPlanSheetState::Row row;
        row.key = plan.key;
        row.title = plan.title;
        row.subtitle = planTitle(plan);
        row.price = std::to_string(plan.price) + " ₽";
        row.pro = plan.pro.value_or(false);
        row.busy = busy_ == plan.key;
        row.enabled = !busy_;
        s.rows.push_back(std::move(row));
    }
    const bool loadingShown = s.loading && !state_.loading;
    if (s == state_) return;
    state_ = std::move(s);
    // The loading view came back: it reads the status again. The list ends that read.
    if (loadingShown && onScreen_) startLoading();
    if (!state_.loading) loading_.cancel();
    if (onChange_) onChange_();
}

void MacPlanSheetPresenter::startLoading() {
    loading_.cancel();
    loading_ = deps_.subscription.refreshStatus();
}

void MacPlanSheetPresenter::appear() {
    onScreen_ = true;
    if (state_.loading) startLoading();
}

void MacPlanSheetPresenter::disappear() {
    onScreen_ = false;
    loading_.cancel();
}

void MacPlanSheetPresenter::closeClicked() {
    if (deps_.onClose) deps_.onClose();
}

void MacPlanSheetPresenter::planClicked(const std::string& key) {
    if (busy_) return;  // every row is disabled during a purchase
    busy_ = key;
    recompute();
    // The store's own call: it runs on when the sheet goes.
    deps_.subscription.buy(key, false, [alive = alive_, openURL = deps_.openURL, this](std::optional<std::string> url) {
        if (url && openURL) openURL(*url);
        if (!*alive) return;
        busy_.reset();
        recompute();
        // Last: closing may end this presenter.
        if (url && deps_.onClose) {
            const auto onClose = deps_.onClose;
            onClose();
        }
    });
}

}  // namespace kavri
