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
#include "ui/main/mac_root_view.h"
#include "ui/main/stack/protocol_screen_presenter.h"
#include "ui/main/stack/stack_sheet_presenter.h"
#include "ui/main/stack/stack_sheet_view.h"
#include "ui/main/mac_setup_guide_presenter.h"
#include "ui/main/mac_setup_guide_view.h"
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

// The main window with the stack sheet open over it in one state.
QImage stackSheet(const StackSheetState& state) {
    MacRootView view(fixedClock());
    view.setSheetContent(3, [&state](QWidget* parent) {
        auto* content = new StackSheetView(parent);
        content->setState(state);
        return content;
    });
    MacRootViewState s;
    s.showStack = true;
    view.setState(s);
    view.show();
    QCoreApplication::processEvents();  // the lists lay out and decide on their scroll bars
    return grab(view, QSizeF(ScreenGallery::windowWidth, ScreenGallery::windowHeight));
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

StackSheetState protocolScreen() {
    StackSheetState s = stackList(true);
    auto location = stackLocation("nl", "Нидерланды", "NL", 95);
    location.protocols = {"reality", "hy2"};
    const std::vector<StackAPI::Catalog::Proto> protocols = {
        {"reality", "Reality", std::string("Обычно подходит лучше всего"), std::string("РЕКОМЕНДУЕМ")},
        {"hy2", "Hysteria 2", std::string("Когда сеть теряет пакеты"), std::nullopt},
        {"ws", "WebSocket", std::string("Когда всё остальное режут"), std::nullopt},
    };
    s.protocolScreen = ProtocolScreenPresenter::stateOf({location, protocols, std::string("hy2"), 41}, {}, false);
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
QImage trayMenu(VPNManager::Status::Kind status, std::optional<std::int64_t> subscriptionID) {
    QMenu menu;
    MacMenuView view(menu);
    view.setState(MacMenuPresenter::stateFor(VPNManager::Status::of(status), subscriptionID));
    menu.adjustSize();
    return grab(menu, QSizeF(menu.size()));
}

// The main window with the devices sheet open over it, drawing `state`,
// scrolled so that the control named `scrollTo` shows.
QImage devicesSheet(const MacDevicesSheetViewState& state, const char* scrollTo = nullptr) {
    MacRootView view(fixedClock());
    view.setSheetContent(2, [&state](QWidget* parent) {
        auto* sheet = new MacDevicesSheet(parent);
        sheet->setState(state);
        return sheet;
    });
    MacRootViewState s;
    s.showDevices = true;
    view.setState(s);
    view.show();
    QCoreApplication::processEvents();  // the layout settles as before the first frame
    if (scrollTo) {
        auto* area = view.findChild<MacDevicesSheet*>() ? view.findChild<MacDevicesSheet*>()->findChild<QScrollArea*>()
                                                        : nullptr;
        if (auto* target = view.findChild<QWidget*>(scrollTo); area && target) area->ensureWidgetVisible(target, 0, 60);
    }
    return grab(view, QSizeF(ScreenGallery::windowWidth, ScreenGallery::windowHeight));
}

// An owner's subscription with three other devices, one of them removed.
MacDevicesSheetViewState ownerSheet() {
    using P = MacDevicesSheetPresenter;
    auto device = [](std::string id, std::string name, std::string platform, bool blocked, bool current,
                     std::optional<Clock::WallTime> added) {
        DeviceLinkAPI::Device d;
        d.id = std::move(id), d.name = std::move(name), d.platform = std::move(platform);
        d.blocked = blocked, d.current = current, d.addedAt = added;
        return d;
    };
    const std::vector<DeviceLinkAPI::Device> devices = {
        device("me", "Этот Mac", "macos", false, true, connectedAt),
        device("p1", "iPhone Анны", "ios", false, false, connectedAt - 24h * 40),
        device("w1", "", "windows", false, false, std::nullopt),
        device("a1", "Samsung", "android", true, false, connectedAt - 24h * 90),
    };
    MacDevicesSheetViewState s;
    s.showsDevices = true;
    s.usageText = P::usageText(true, 5, devices);
    for (std::size_t i = 1; i < devices.size(); ++i) {
        const auto& d = devices[i];
        s.rows.push_back({d.id, P::platformTitle(d), P::addedText(d), !d.blocked, i + 1 < devices.size()});
    }
    s.section = MacDevicesSheetViewState::Section::share;
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
        {"halo-inactive", [] { return haloAlone(false); }},
        {"halo-active", [] { return haloAlone(true); }},
        {"stack-loading", [] { return stackSheet({}); }},
        {"stack-failed", [] {
             StackSheetState s;
             s.content = StackSheetState::Content::failed;
             return stackSheet(s);
         }},
        {"stack-list", [] { return stackSheet(stackList(true)); }},
        {"stack-locked", [] { return stackSheet(stackList(false)); }},
        {"stack-protocol", [] { return stackSheet(protocolScreen()); }},
        {"sheet-open", [] { return sheetOpen(); }},
        {"setup-not-in-applications", [] { return setupGuide({SystemExtensionInstaller::State::Kind::notInApplications}); }},
        {"setup-needs-approval", [] { return setupGuide({SystemExtensionInstaller::State::Kind::needsApproval}); }},
        {"setup-needs-reboot", [] { return setupGuide({SystemExtensionInstaller::State::Kind::needsReboot}); }},
        {"setup-failed", [] {
             return setupGuide(SystemExtensionInstaller::State::failed(
                 "Не удалось переместить в «Программы» — перетащите вручную"));
         }},
        {"setup-installing", [] { return setupGuide({SystemExtensionInstaller::State::Kind::installing}); }},
        {"tray-menu-connected", [] { return trayMenu(VPNManager::Status::Kind::connected, 42); }},
        {"tray-menu-disconnecting", [] { return trayMenu(VPNManager::Status::Kind::disconnecting, 42); }},
        {"devices-listed", [] { return devicesSheet(ownerSheet()); }},
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
