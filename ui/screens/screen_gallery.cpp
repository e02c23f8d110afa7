#include "ui/screens/screen_gallery.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QScrollArea>
#include <QWidget>

#include <chrono>
#include <cmath>
#include <memory>

#include "platform/runtime/fake_clock.h"
#include "ui/main/logo_button.h"
#include "ui/main/mac_bottom_sheet.h"
#include "ui/main/mac_root_view.h"
#include "ui/main/stack/protocol_screen_presenter.h"
#include "ui/main/stack/stack_sheet_presenter.h"
#include "ui/main/stack/stack_sheet_view.h"
#include "ui/main/mac_setup_guide_presenter.h"
#include "ui/main/mac_setup_guide_view.h"
#include "ui/object_names.h"
#include "ui/screens/sheet_screens.h"
#include "ui/shell/mac_menu_presenter.h"
#include "ui/shell/mac_menu_view.h"
#include "ui/sheets/mac_devices_sheet.h"
#include "ui/sheets/mac_devices_sheet_presenter.h"
#include "ui/style/palette.h"

namespace kavri {

namespace {

using namespace std::chrono_literals;

// The same moment for every picture: a connection up for 1:02:05.
const Clock::WallTime connectedAt{std::chrono::seconds(1'765'400'000)};
FakeClock& fixedClock() {
    static FakeClock clock(connectedAt + 3725s);
    return clock;
}

// `widget` drawn at its device pixel ratio, cut to the window's
// fractional height when it is a whole window.
QImage grab(QWidget& widget, QSizeF points) {
    widget.show();
    QImage image = widget.grab().toImage();
    const double dpr = image.devicePixelRatio();
    const QSize pixels(int(std::lround(points.width() * dpr)), int(std::lround(points.height() * dpr)));
    image = image.copy(QRect(QPoint(0, 0), pixels));
    image.setDevicePixelRatio(dpr);
    widget.hide();
    return image;
}

// The halo alone, in the middle of a window's backdrop.
QImage haloAlone(bool active) {
    QWidget backdrop;
    backdrop.setAutoFillBackground(true);
    QPalette p;
    p.setColor(QPalette::Window, Palette::background());
    backdrop.setPalette(p);
    auto* view = new MorvelHaloView(268, fixedClock(), &backdrop);
    backdrop.setFixedSize(int(std::ceil(ScreenGallery::windowWidth)), int(std::ceil(ScreenGallery::windowHeight)));
    view->move((backdrop.width() - view->width()) / 2, (backdrop.height() - view->height()) / 2);
    view->halo().setActive(active);
    view->halo().setConnectedSince(active ? std::optional(connectedAt) : std::nullopt);
    return grab(backdrop, QSizeF(ScreenGallery::windowWidth, ScreenGallery::windowHeight));
}

// The main window's content in one state.
QImage window(const MacRootViewState& state) {
    MacRootView view(fixedClock());
    view.setState(state);
    return grab(view, QSizeF(ScreenGallery::windowWidth, ScreenGallery::windowHeight));
}

MacRootViewState withAccount(MacRootViewState s, AccountBanner::Account account) {
    s.banner = AccountBanner::choose(account, fixedClock());
    return s;
}

MacRootViewState blocked(MacRootViewState s) {
    s.status = RootStatus::of(true, false, VPNManager::Status::of(VPNManager::Status::Kind::disconnected));
    s.connectOpacity = 0.4;
    s.connectEnabled = false;
    return s;
}

MacRootViewState connected() {
    MacRootViewState s;
    s.status = RootStatus::of(false, false, VPNManager::Status::of(VPNManager::Status::Kind::connected));
    s.haloActive = true;
    s.connectedSince = connectedAt;
    s.connected = true;
    s.connectLabel = "Отключить";
    return withAccount(s, {false, SubscriptionState::paidAutopay, std::nullopt, connectedAt + 24h * 200, ""});
}

// The window while the tunnel has `kind`: its caption, the spinner on the
// connect button while the status is on its way.
MacRootViewState tunnel(VPNManager::Status status) {
    MacRootViewState s;
    const auto kind = status.kind;
    s.status = RootStatus::of(false, false, status);
    s.connectBusy = kind == VPNManager::Status::Kind::connecting || kind == VPNManager::Status::Kind::reasserting ||
                    kind == VPNManager::Status::Kind::disconnecting;
    return s;
}
MacRootViewState tunnel(VPNManager::Status::Kind kind) { return tunnel(VPNManager::Status::of(kind)); }

// The stack card on the automatic choice, open to choosing by hand or locked.
MacRootViewState withAutoStack(MacRootViewState s, bool manualAllowed) {
    StackAPI::Snapshot stack;
    stack.manualAllowed = manualAllowed;
    stack.location.mode = "auto";
    stack.location.label = "Автоматически";
    stack.location.online = true;
    stack.effective = StackAPI::Snapshot::Effective{"Нидерланды", "NL", "VLESS Reality"};
    s.showsStackCard = true;
    s.stack = stack;
    return s;
}

// The main window with the "Локация" alert over it, drawn where the dialog
// opens: in the middle of the window.
QImage withAlert(const MacRootViewState& state) {
    MacRootView view(fixedClock());
    view.setState(state);
    view.show();
    QCoreApplication::processEvents();
    QImage image = grab(view, QSizeF(ScreenGallery::windowWidth, ScreenGallery::windowHeight));
    auto* alert = view.findChild<QWidget*>(ObjectName::stackAlert);
    if (!alert) return {};
    alert->adjustSize();
    const QImage dialog = alert->grab().toImage();
    QPainter p(&image);
    const QSizeF size = QSizeF(dialog.size()) / dialog.devicePixelRatio();
    const QPointF at((ScreenGallery::windowWidth - size.width()) / 2, (ScreenGallery::windowHeight - size.height()) / 2);
    p.drawImage(QRectF(at, size), dialog);
    p.end();
    return image;
}

// The stack card on the connected window: a location chosen by hand, in one
// of its marks.
MacRootViewState withStack(MacRootViewState s, bool manualAllowed, bool online, bool busy) {
    StackAPI::Snapshot stack;
    stack.manualAllowed = manualAllowed;
    stack.location.mode = "manual";
    stack.location.label = "Германия";
    stack.location.countryCode = "de";
    stack.location.online = online;
    stack.effective = StackAPI::Snapshot::Effective{"Франкфурт", "DE", "VLESS Reality"};
    s.showsStackCard = true;
    s.stack = stack;
    s.stackCardBusy = busy;
    return s;
}

// The main window with sheet `index` (menu, plans, devices, stack) open
// over it, holding what `build` makes, scrolled so that the control named
// `scrollTo` shows.
QImage inPanel(int index, const MacBottomSheet::ContentBuilder& build, const char* scrollTo = nullptr) {
    MacRootView view(fixedClock());
    view.setSheetContent(index, build);
    MacRootViewState s;
    s.showMenu = index == 0;
    s.showPlans = index == 1;
    s.showDevices = index == 2;
    s.showStack = index == 3;
    view.setState(s);
    view.show();
    QCoreApplication::processEvents();  // the lists lay out and decide on their indicators
    if (scrollTo) {
        auto* target = view.findChild<QWidget*>(scrollTo);
        for (QWidget* w = target; w; w = w->parentWidget())
            if (auto* area = qobject_cast<QScrollArea*>(w)) {
                area->ensureWidgetVisible(target, 0, 60);
                break;
            }
    }
    return grab(view, QSizeF(ScreenGallery::windowWidth, ScreenGallery::windowHeight));
}

// The main window with the stack sheet open over it in one state.
QImage stackSheet(const StackSheetState& state) {
    return inPanel(3, [&state](QWidget* parent) {
        auto* content = new StackSheetView(parent);
        content->setState(state);
        return content;
    });
}

StackAPI::Catalog::Location stackLocation(std::string id, std::string title, std::string country,
                                          std::optional<std::int64_t> rtt, std::optional<bool> online = {}) {
    StackAPI::Catalog::Location l;
    l.id = std::move(id);
    l.title = std::move(title);
    l.countryCode = std::move(country);
    l.rttMs = rtt;
    l.rttAgeSec = 120;
    l.online = online;
    l.protocols = {"reality", "hy2"};
    return l;
}

// Five locations, Germany chosen and measured at 38 ms.
StackSheetState stackList(bool manual) {
    const StackAPI::Catalog::Location locations[] = {
        stackLocation("de", "Германия", "de", 120),         stackLocation("nl", "Нидерланды", "NL", 95),
        stackLocation("fi", "Финляндия", "FI", 240),        stackLocation("tr", "Турция", "TR", {}),
        stackLocation("us", "США", "US", 180, false),
    };
    StackSheetState s;
    s.content = StackSheetState::Content::list;
    s.manualAllowed = manual;
    s.autoRow = {"Автоматически", "Самая быстрая локация сейчас", false};
    for (const auto& l : locations)
        s.rows.push_back(StackSheetPresenter::rowOf(l, manual, l.id == "de", l.id == "de" ? std::optional(38) : std::nullopt));
    return s;
}

// The automatic choice current: no location row is marked.
StackSheetState stackListOnAuto() {
    StackSheetState s = stackList(true);
    s.autoRow.current = true;
    s.rows.clear();
    for (const auto& l : {stackLocation("de", "Германия", "de", 120), stackLocation("nl", "Нидерланды", "NL", 95),
                          stackLocation("fi", "Финляндия", "FI", 240), stackLocation("tr", "Турция", "TR", {}),
                          stackLocation("us", "США", "US", 180, false)})
        s.rows.push_back(StackSheetPresenter::rowOf(l, true, false, std::nullopt));
    return s;
}

// The protocol screen of the Netherlands, `selected` chosen before; the
// location offline when `online` is false.
StackSheetState protocolScreen(std::string selected = "hy2", bool online = true) {
    StackSheetState s = stackList(true);
    auto location = stackLocation("nl", "Нидерланды", "NL", 95, online ? std::nullopt : std::optional(false));
    location.protocols = {"reality", "hy2"};
    const std::vector<StackAPI::Catalog::Proto> protocols = {
        {"reality", "Reality", std::string("Обычно подходит лучше всего"), std::string("РЕКОМЕНДУЕМ")},
        {"hy2", "Hysteria 2", std::string("Когда сеть теряет пакеты"), std::nullopt},
        {"ws", "WebSocket", std::string("Когда всё остальное режут"), std::nullopt},
    };
    s.protocolScreen = ProtocolScreenPresenter::stateOf({location, protocols, std::move(selected), 41}, {}, false);
    return s;
}

// The connected window with the plans sheet open over it, holding a
// stand-in for its content.
QImage sheetOpen() {
    MacRootView view(fixedClock());
    view.setSheetContent(1, [](QWidget* parent) {
        auto* label = new QLabel("Содержимое", parent);
        label->setAlignment(Qt::AlignCenter);
        label->setStyleSheet("color: rgba(255, 255, 255, 0.35);");
        return label;
    });
    MacRootViewState s = connected();
    s.showPlans = true;
    view.setState(s);
    return grab(view, QSizeF(ScreenGallery::windowWidth, ScreenGallery::windowHeight));
}

// The window's setup guide in one state of the extension installer.
QImage setupGuide(const SystemExtensionInstaller::State& installer) {
    MacRootView view(fixedClock());
    MacRootViewState s;
    s.showsSetupGuide = true;
    view.setState(s);
    view.setupGuide().setState(MacSetupGuidePresenter::stateFor(installer));
    return grab(view, QSizeF(ScreenGallery::windowWidth, ScreenGallery::windowHeight));
}

// The tray's pull-down menu for a tunnel status and subscription ID.
QImage trayMenu(const VPNManager::Status& status, std::optional<std::int64_t> subscriptionID) {
    QMenu menu;
    MacMenuView view(menu);
    view.setState(MacMenuPresenter::stateFor(status, subscriptionID));
    menu.adjustSize();
    return grab(menu, QSizeF(menu.size()));
}
QImage trayMenu(VPNManager::Status::Kind kind, std::optional<std::int64_t> subscriptionID) {
    return trayMenu(VPNManager::Status::of(kind), subscriptionID);
}

// The main window with the devices sheet open over it, drawing `state`,
// scrolled so that the control named `scrollTo` shows.
QImage devicesSheet(const MacDevicesSheetViewState& state, const char* scrollTo = nullptr) {
    return inPanel(
        2,
        [&state](QWidget* parent) {
            auto* sheet = new MacDevicesSheet(parent);
            sheet->setState(state);
            return sheet;
        },
        scrollTo);
}

DeviceLinkAPI::Device device(std::string id, std::string name, std::string platform, bool blocked, bool current,
                             std::optional<Clock::WallTime> added) {
    DeviceLinkAPI::Device d;
    d.id = std::move(id), d.name = std::move(name), d.platform = std::move(platform);
    d.blocked = blocked, d.current = current, d.addedAt = added;
    return d;
}

// An owner's subscription with a limit of 5 and `devices`, this Mac first;
// none loaded yet when `loaded` is false.
MacDevicesSheetViewState ownerSheet(const std::vector<DeviceLinkAPI::Device>& devices, bool loaded = true) {
    using P = MacDevicesSheetPresenter;
    MacDevicesSheetViewState s;
    s.showsDevices = true;
    s.usageText = P::usageText(loaded, 5, devices);
    for (std::size_t i = 1; i < devices.size(); ++i) {
        const auto& d = devices[i];
        s.rows.push_back({d.id, P::platformTitle(d), P::addedText(d), !d.blocked, i + 1 < devices.size()});
    }
    s.section = MacDevicesSheetViewState::Section::share;
    return s;
}

// Three other devices, one of them removed.
MacDevicesSheetViewState ownerSheet() {
    return ownerSheet({
        device("me", "Этот Mac", "macos", false, true, connectedAt),
        device("p1", "iPhone Анны", "ios", false, false, connectedAt - 24h * 40),
        device("w1", "", "windows", false, false, std::nullopt),
        device("a1", "Samsung", "android", true, false, connectedAt - 24h * 90),
    });
}

// Every one of the five places taken.
MacDevicesSheetViewState fullSheet() {
    return ownerSheet({
        device("me", "Этот Mac", "macos", false, true, connectedAt),
        device("p1", "iPhone Анны", "ios", false, false, connectedAt - 24h * 40),
        device("w1", "Работа", "windows", false, false, connectedAt - 24h * 12),
        device("a1", "Samsung", "android", false, false, connectedAt - 24h * 90),
        device("f1", "", "firefox", false, false, std::nullopt),
    });
}

// A join under way, the code typed in full.
MacDevicesSheetViewState joiningSheet() {
    auto s = ownerSheet();
    s.section = MacDevicesSheetViewState::Section::join;
    s.joinExplanation = "Введите код с устройства, откуда переносите";
    s.entered = "K7M2X9";
    s.confirmLabel = "Переносим…";
    return s;
}

}  // namespace

std::vector<ScreenGallery::Screen> ScreenGallery::all() {
    std::vector<Screen> screens{
        {"main-inactive", [] { return window(MacRootViewState{}); }},
        {"main-connected", [] { return window(connected()); }},
        {"main-blocked", [] {
             return window(blocked(withAccount({}, {true, SubscriptionState::expired, {}, {}, "paid_autopay"})));
         }},
        {"main-expired", [] {
             return window(blocked(withAccount({}, {false, SubscriptionState::expired, {}, {}, "paid_autopay"})));
         }},
        {"main-trial-ended", [] {
             return window(blocked(withAccount({}, {false, SubscriptionState::expired, {}, {}, "trial"})));
         }},
        {"main-trial", [] { return window(withAccount({}, {false, SubscriptionState::trial, 2, {}, ""})); }},
        {"main-charge-failed", [] {
             return window(withAccount({}, {false, SubscriptionState::chargeFailed, {}, {}, "paid_autopay"}));
         }},
        {"main-stack-chevron", [] { return window(withStack(connected(), true, true, false)); }},
        {"main-stack-offline", [] { return window(withStack(connected(), true, false, false)); }},
        {"main-stack-pro", [] { return window(withStack(connected(), false, true, false)); }},
        {"main-stack-switching", [] {
             auto s = withStack(connected(), true, true, true);
             s.connectBusy = true;  // the reconnect under way
             return window(s);
         }},
        {"main-stack-auto", [] { return window(withAutoStack(connected(), true)); }},
        {"main-stack-auto-locked", [] { return window(withAutoStack(connected(), false)); }},
        {"main-stack-alert", [] {
             auto s = withStack(connected(), true, true, false);
             s.stackError = "Сейчас эта локация недоступна — попробуйте другую.";
             return withAlert(s);
         }},
        {"main-connecting", [] { return window(tunnel(VPNManager::Status::Kind::connecting)); }},
        {"main-toggling", [] {
             auto s = tunnel(VPNManager::Status::Kind::disconnected);
             s.status = RootStatus::of(false, true, VPNManager::Status::of(VPNManager::Status::Kind::disconnected));
             s.connectBusy = true;
             s.logoEnabled = false;
             return window(s);
         }},
        {"main-reasserting", [] { return window(tunnel(VPNManager::Status::Kind::reasserting)); }},
        {"main-disconnecting", [] { return window(tunnel(VPNManager::Status::Kind::disconnecting)); }},
        {"main-invalid", [] { return window(tunnel(VPNManager::Status::Kind::invalid)); }},
        {"main-failed", [] {
             return window(tunnel(VPNManager::Status::failed("VPN configuration: the profile could not be saved")));
         }},
        {"main-failed-long", [] {
             auto s = withStack(tunnel(VPNManager::Status::failed(longFailure)), true, true, false);
             return window(withAccount(s, {false, SubscriptionState::paidAutopay, std::nullopt,
                                           connectedAt + 24h * 200, ""}));
         }},
        {"main-failed-long-plain", [] { return window(tunnel(VPNManager::Status::failed(longFailure))); }},
        {"main-failed-too-long", [] {
             std::string text;
             for (int i = 0; i < 5; ++i) text += std::string(longFailure) + " ";
             auto s = withStack(tunnel(VPNManager::Status::failed(text)), true, true, false);
             return window(withAccount(s, {false, SubscriptionState::paidAutopay, std::nullopt,
                                           connectedAt + 24h * 200, ""}));
         }},
        {"main-trial-until", [] {
             return window(withAccount({}, {false, SubscriptionState::trial, 5, connectedAt + 24h * 10, ""}));
         }},
        {"main-paid-cancelled", [] {
             return window(withAccount({}, {false, SubscriptionState::paidCancelled, {}, connectedAt + 24h * 10, ""}));
         }},
        {"halo-inactive", [] { return haloAlone(false); }},
        {"halo-active", [] { return haloAlone(true); }},
        {"stack-loading", [] { return stackSheet({}); }},
        {"stack-failed", [] {
             StackSheetState s;
             s.content = StackSheetState::Content::failed;
             return stackSheet(s);
         }},
        {"stack-list", [] { return stackSheet(stackList(true)); }},
        {"stack-list-auto", [] { return stackSheet(stackListOnAuto()); }},
        {"stack-locked", [] { return stackSheet(stackList(false)); }},
        {"stack-protocol", [] { return stackSheet(protocolScreen()); }},
        {"stack-protocol-offline", [] { return stackSheet(protocolScreen("hy2", false)); }},
        {"stack-protocol-not-here", [] { return stackSheet(protocolScreen("ws")); }},
        {"sheet-open", [] { return sheetOpen(); }},
        {"menu-in-panel", [] {
             return inPanel(0, [](QWidget* parent) { return SheetScreens::ownerMenu(fixedClock(), parent); });
         }},
        {"plans-in-panel", [] { return inPanel(1, [](QWidget* parent) { return SheetScreens::listedPlans(parent); }); }},
        {"setup-not-in-applications", [] { return setupGuide({SystemExtensionInstaller::State::Kind::notInApplications}); }},
        {"setup-needs-approval", [] { return setupGuide({SystemExtensionInstaller::State::Kind::needsApproval}); }},
        {"setup-needs-reboot", [] { return setupGuide({SystemExtensionInstaller::State::Kind::needsReboot}); }},
        {"setup-failed", [] {
             return setupGuide(SystemExtensionInstaller::State::failed(
                 "Не удалось переместить в «Программы» — перетащите вручную"));
         }},
        {"setup-installing", [] { return setupGuide({SystemExtensionInstaller::State::Kind::installing}); }},
        {"tray-menu-disconnected", [] { return trayMenu(VPNManager::Status::Kind::disconnected, 42); }},
        {"tray-menu-connecting", [] { return trayMenu(VPNManager::Status::Kind::connecting, 42); }},
        {"tray-menu-connected", [] { return trayMenu(VPNManager::Status::Kind::connected, 42); }},
        {"tray-menu-reasserting", [] { return trayMenu(VPNManager::Status::Kind::reasserting, 42); }},
        {"tray-menu-disconnecting", [] { return trayMenu(VPNManager::Status::Kind::disconnecting, 42); }},
        {"tray-menu-failed", [] { return trayMenu(VPNManager::Status::failed("VPN configuration: broken"), 42); }},
        {"devices-listed", [] { return devicesSheet(ownerSheet()); }},
        {"devices-loading", [] {
             return devicesSheet(ownerSheet({device("me", "Этот Mac", "macos", false, true, connectedAt)}, false));
         }},
        {"devices-full", [] { return devicesSheet(fullSheet()); }},
        {"devices-share-busy", [] {
             auto s = ownerSheet();
             s.shareLabel = "Готовим…";
             s.shareEnabled = false;
             return devicesSheet(s, ObjectName::devicesShowCode);
         }},
        {"devices-joining", [] { return devicesSheet(joiningSheet(), ObjectName::devicesConfirm); }},
        {"devices-unlinking", [] {
             MacDevicesSheetViewState s;
             s.section = MacDevicesSheetViewState::Section::member;
             s.unlinkLabel = "Отвязываем…";
             s.unlinkEnabled = false;
             return devicesSheet(s);
         }},
        {"devices-share-code", [] {
             auto s = ownerSheet();
             s.code = "K7M2X9";
             s.qr = MacDevicesSheetPresenter::qrImage(std::string(MacDevicesSheetPresenter::linkPrefix) + *s.code);
             return devicesSheet(s, "devicesCode");
         }},
        {"devices-join-error", [] {
             auto s = ownerSheet();
             s.section = MacDevicesSheetViewState::Section::join;
             s.joinExplanation =
                 "Раздать можно только оплаченную подписку. Чтобы перенести доступ сюда — введите код с того устройства";
             s.entered = "K7M2X9";
             s.confirmEnabled = true;
             s.confirmOpacity = 1;
             s.message = "Код не подошёл или уже истёк — попросите новый";
             s.messageColor = PaletteColor::danger;
             return devicesSheet(s, "devicesMessage");
         }},
        {"devices-member", [] {
             MacDevicesSheetViewState s;
             s.section = MacDevicesSheetViewState::Section::member;
             return devicesSheet(s);
         }},
    };
    for (auto& screen : SheetScreens::all(fixedClock())) screens.push_back(std::move(screen));
    return screens;
}

QImage ScreenGallery::render(const std::string& name) {
    for (const auto& screen : all())
        if (screen.name == name) return screen.render();
    return {};
}

}  // namespace kavri
