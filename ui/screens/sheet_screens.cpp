#include "ui/screens/sheet_screens.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScrollArea>
#include <QScrollBar>

#include <chrono>
#include <cmath>

#include "ui/sheets/mac_menu_sheet.h"
#include "ui/sheets/mac_menu_sheet_presenter.h"
#include "ui/sheets/mac_plan_sheet.h"

namespace kavri {

namespace {

using namespace std::chrono_literals;
using Phase = MacUpdater::Phase;

// The sheets' content below the bottom sheet's grabber (8 + 5 + 4 points).
constexpr double width = 361;
constexpr double grabber = 17;
constexpr double menuHeight = 520 - grabber;
constexpr double plansHeight = 430 - grabber;

QImage draw(QWidget& sheet, double height, bool scrolledToEnd = false) {
    sheet.resize(int(width), int(std::ceil(height)));
    sheet.show();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    if (scrolledToEnd) {
        if (auto* scroll = sheet.findChild<QScrollArea*>()) {
            scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        }
    }
    QImage image = sheet.grab().toImage();
    sheet.hide();
    return image;
}

struct Account {
    std::optional<SubscriptionState> state;
    std::optional<std::int64_t> daysLeft;
    std::optional<Date> expiresAt;
    bool referral = false;
};

MacMenuSheetState menu(const Account& a, const UpdateControl::Inputs& update, Clock& clock) {
    MacMenuSheetState s;
    s.idLine = MacMenuSheetPresenter::idText(4217);
    const auto line = MacMenuSheetPresenter::statusLine(a.state, a.daysLeft, a.expiresAt, clock);
    s.statusText = line.text;
    s.statusColor = line.color;
    s.installedVersion = "1.0 (5)";
    s.versionHighlighted = UpdateControl::hasNewer(update.latest, update.currentBuild);
    s.update = UpdateControl::of(update);
    s.showsReferral = a.referral;
    s.referralEnabled = a.referral;
    return s;
}

UpdateControl::Inputs updateIn(Phase phase, bool checking, std::optional<AppUpdateInfo> latest) {
    return {std::move(phase), checking, std::move(latest), 5};
}

const AppUpdateInfo newer{6, "1.1", "Kavri-6.dmg"};
const AppUpdateInfo same{5, "1.0", "Kavri-5.dmg"};

QImage menuScreen(const MacMenuSheetState& s, bool scrolledToEnd) {
    MacMenuSheet sheet;
    sheet.setState(s);
    return draw(sheet, menuHeight, scrolledToEnd);
}

QImage plansScreen(const MacPlanSheetState& s) {
    MacPlanSheet sheet;
    sheet.setState(s);
    return draw(sheet, plansHeight);
}

MacPlanSheetState listed(std::optional<std::string> busy) {
    MacPlanSheetState s;
    s.loading = false;
    const auto row = [&](std::string key, std::string title, std::string subtitle, std::string price, bool pro) {
        return MacPlanSheetState::Row{key, std::move(title), std::move(subtitle), std::move(price), pro,
                                      busy == key, !busy};
    };
    s.rows = {row("m1", "Месяц", "на 30 дней", "390 ₽", false),
              row("q1", "Три месяца", "на 92 дня · выгоднее на 15%", "990 ₽", false),
              row("y1", "Год", "на 365 дней · два месяца в подарок, лучший выбор для всей семьи", "2990 ₽", true),
              row("f1", "Семейный год", "на 365 дней · до 5 устройств", "4990 ₽", true)};
    return s;
}

Account ownerAccount(Clock& clock) { return {SubscriptionState::paidAutopay, {}, clock.wallNow() + 24h * 150, true}; }

}  // namespace

QWidget* SheetScreens::ownerMenu(Clock& clock, QWidget* parent) {
    auto* sheet = new MacMenuSheet(parent);
    sheet->setState(menu(ownerAccount(clock), updateIn(Phase{}, false, std::nullopt), clock));
    return sheet;
}

QWidget* SheetScreens::listedPlans(QWidget* parent) {
    auto* sheet = new MacPlanSheet(parent);
    sheet->setState(listed(std::nullopt));
    return sheet;
}

std::vector<ScreenGallery::Screen> SheetScreens::all(Clock& clock) {
    const Account owner = ownerAccount(clock);
    const Account member{SubscriptionState::trial, 5, {}, false};
    const auto idle = updateIn(Phase{}, false, std::nullopt);
    // The confirmations that stand in for a copied line for 1.6 s.
    auto copiedID = menu(owner, idle, clock);
    copiedID.idLine = "Скопировано";
    copiedID.idColor = PaletteColor::accent;
    auto copiedLink = menu(owner, idle, clock);
    copiedLink.referralText = "Ссылка скопирована";
    std::vector<ScreenGallery::Screen> screens{
        {"menu-owner", [=, &clock] { return menuScreen(menu(owner, idle, clock), false); }},
        {"menu-copied-id", [=] { return menuScreen(copiedID, false); }},
        {"menu-copied-link", [=] { return menuScreen(copiedLink, true); }},
        {"menu-owner-end", [=, &clock] { return menuScreen(menu(owner, idle, clock), true); }},
        {"menu-member", [=, &clock] { return menuScreen(menu(member, idle, clock), false); }},
        {"menu-member-end", [=, &clock] { return menuScreen(menu(member, idle, clock), true); }},
        {"plans-loading", [] { return plansScreen(MacPlanSheetState{}); }},
        {"plans-listed", [] { return plansScreen(listed(std::nullopt)); }},
        {"plans-buying", [] { return plansScreen(listed("y1")); }},
    };
    const std::pair<const char*, UpdateControl::Inputs> phases[] = {
        {"update-checking", updateIn(Phase{}, true, std::nullopt)},
        {"update-up-to-date", updateIn(Phase{}, false, same)},
        {"update-newer", updateIn(Phase{}, false, newer)},
        {"update-downloading-start", updateIn(Phase::downloading(0), false, newer)},
        {"update-downloading", updateIn(Phase::downloading(0.427), false, newer)},
        {"update-verifying", updateIn(Phase::verifying(), false, newer)},
        {"update-installing", updateIn(Phase::installing(), false, newer)},
        {"update-failed", updateIn(Phase::failed(MacUpdater::signatureBrokenText), false, newer)},
    };
    for (const auto& phase : phases) {
        screens.push_back(
            {phase.first, [=, in = phase.second, &clock] { return menuScreen(menu(owner, in, clock), true); }});
    }
    return screens;
}

}  // namespace kavri
