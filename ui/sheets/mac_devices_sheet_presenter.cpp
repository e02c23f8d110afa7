#include "ui/sheets/mac_devices_sheet_presenter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/kavri_constants.h"
#include "core/kavri_notifications.h"
#include "core/kavri_token.h"
#include "core/keychain.h"
#include "platform/http/url.h"
#include "platform/runtime/internet_date_time.h"

namespace kavri {

namespace {

using Kind = DeviceLinkAPI::LinkV2Error::Kind;
using Section = MacDevicesSheetViewState::Section;

// "устройства" after "до N", "из N".
std::string genitive(std::int64_t n) {
    const auto mod100 = n % 100, mod10 = n % 10;
    return mod10 == 1 && !(mod100 >= 11 && mod100 <= 14) ? "устройства" : "устройств";
}

// "N устройство/устройства/устройств".
std::string nominative(std::int64_t n) {
    const auto mod100 = n % 100, mod10 = n % 10;
    if (mod100 >= 11 && mod100 <= 14) return "устройств";
    if (mod10 == 1) return "устройство";
    if (mod10 >= 2 && mod10 <= 4) return "устройства";
    return "устройств";
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// The code point at `i` of a UTF-8 text and its length; a byte that starts no
// valid sequence reads as itself, one byte long.
std::pair<char32_t, std::size_t> codePoint(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return {b, 1};
    char32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c >> 6) != 2) return {b, 1};
        cp = (cp << 6) | (c & 0x3F);
    }
    return {cp, n};
}

// A mark that joins the character before it into one letter ("A" and an
// accent read as "Á", which no code holds).
bool combiningMark(char32_t cp) {
    return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x1AB0 && cp <= 0x1AFF) || (cp >= 0x1DC0 && cp <= 0x1DFF) ||
           (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0xFE20 && cp <= 0xFE2F) || cp == 0x200D ||
           (cp >= 0xFE00 && cp <= 0xFE0F);
}

}  // namespace

struct MacDevicesSheetPresenter::Model {
    std::string entered;
    bool working = false;
    std::optional<std::string> message;
    bool messageIsError = false;
    std::vector<Device> devices;
    std::optional<std::int64_t> limit;
    bool devicesLoaded = false;
    bool loadingList = false;  // read by nothing on screen
    std::optional<std::string> myCode;
    // Redraws the sheet while it is on screen. Main thread only.
    std::function<void()> changed;

    void notify() {
        if (changed) changed();
    }
    void fail(std::string text) {
        message = std::move(text);
        messageIsError = true;
        working = false;
        notify();
    }
};

MacDevicesSheetPresenter::Deps MacDevicesSheetPresenter::keychainDeps(
    SubscriptionStore& subscription, StoreCalls& calls, DeviceLinkAPI api,
    std::function<void(const std::string&)> openURL, std::function<void()> onClose) {
    return {subscription,
            calls,
            std::move(api),
            [] { return Keychain::read(Keychain::Item::subToken); },
            [](const std::string& token) { Keychain::write(token, Keychain::Item::subToken); },
            std::move(openURL),
            std::move(onClose)};
}

MacDevicesSheetPresenter::MacDevicesSheetPresenter(Deps deps)
    : deps_(std::move(deps)), model_(std::make_shared<Model>()) {
    model_->changed = [this] { recompute(); };
    subscriptionSub_ = deps_.subscription.subscribe([this](std::string_view) { recompute(); });
    recompute();
}

MacDevicesSheetPresenter::~MacDevicesSheetPresenter() {
    loading_.cancel();
    subscriptionSub_.reset();
    model_->changed = nullptr;
}

// --- state ---

void MacDevicesSheetPresenter::recompute(bool publish) {
    const auto& m = *model_;
    const bool owner = !deps_.subscription.isMember();
    const auto account = deps_.subscription.state.get();

    // The list's section comes and goes with the role; loading follows it.
    const bool listShown = appeared_ && owner;
    if (listShown != listShown_) {
        listShown_ = listShown;
        if (listShown) {
            loadDevices();
        } else {
            loading_.cancel();
        }
    }

    MacDevicesSheetViewState s;
    s.showsDevices = owner;
    s.usageText = usageText(m.devicesLoaded, m.limit, m.devices);
    std::vector<const Device*> others;
    for (const auto& d : m.devices)
        if (!d.current) others.push_back(&d);
    for (std::size_t i = 0; i < others.size(); ++i) {
        const Device& d = *others[i];
        s.rows.push_back({d.id, platformTitle(d), addedText(d), !d.blocked, i + 1 < others.size()});
    }

    using S = SubscriptionState;
    if (!owner) {
        s.section = Section::member;
    } else if (account == S::paidAutopay || account == S::paidCancelled || account == S::granted) {
        s.section = Section::share;
    } else {
        s.section = Section::join;
    }

    s.shareLabel = m.working ? "Готовим…" : "Показать код";
    s.shareEnabled = !m.working;
    s.code = m.myCode;
    if (m.myCode) {
        if (qrFor_ != m.myCode) {
            qrFor_ = m.myCode;
            qr_ = qrImage(linkPrefix + *m.myCode);
        }
        s.qr = qr_;
    }

    s.joinExplanation = account == S::trial
                            ? "Раздать можно только оплаченную подписку. Чтобы перенести доступ сюда — введите код "
                              "с того устройства"
                            : "Введите код с устройства, откуда переносите";
    s.entered = m.entered;
    s.confirmLabel = m.working ? "Переносим…" : "Подтвердить";
    s.confirmEnabled = m.entered.size() == codeLength && !m.working;
    s.confirmOpacity = s.confirmEnabled ? 1.0 : 0.35;

    s.unlinkLabel = m.working ? "Отвязываем…" : "Отвязать подписку";
    s.unlinkEnabled = !m.working;

    s.message = m.message;
    s.messageColor = m.messageIsError ? PaletteColor::danger : PaletteColor::success;

    if (s == state_ && !publish) return;
    state_ = std::move(s);
    if (onChange_) onChange_();
}

void MacDevicesSheetPresenter::appear() {
    appeared_ = true;
    recompute();
}

void MacDevicesSheetPresenter::disappear() {
    appeared_ = false;
    recompute();
}

// --- the device list ---

void MacDevicesSheetPresenter::load(StoreCalls::Call& call, const std::shared_ptr<Model>& model,
                                    const DeviceLinkAPI& api, const std::string& token) {
    try {
        auto list = api.listDevices(KavriToken::bare(token), call.stopToken());
        call.onMain([&] {
            model->devices = std::move(list.devices);
            model->limit = list.limit;
            model->devicesLoaded = true;
            model->loadingList = false;
            model->notify();
        });
    } catch (const StoreCalls::Cancelled&) {
        throw;
    } catch (const std::exception&) {
        call.onMain([&] { model->loadingList = false; });  // the last list stays, silently
    }
}

void MacDevicesSheetPresenter::loadDevices() {
    const auto token = deps_.readToken();
    if (!token) return;
    model_->loadingList = true;
    loading_ = deps_.calls.start(
        [model = model_, api = deps_.api, token = *token](StoreCalls::Call& call) { load(call, model, api, token); });
}

void MacDevicesSheetPresenter::removeClicked(const std::string& id) {
    for (const auto& d : model_->devices) {
        if (d.id != id || d.blocked) continue;
        removeDevice(d);
        return;
    }
}

void MacDevicesSheetPresenter::removeDevice(const Device& device) {
    deps_.calls.start([model = model_, api = deps_.api, read = deps_.readToken, id = device.id](StoreCalls::Call& call) {
        const auto token = call.onMain(read);
        if (!token) return;
        try {
            api.removeDevice(KavriToken::bare(*token), id, call.stopToken());
        } catch (const StoreCalls::Cancelled&) {
            throw;
        } catch (const std::exception&) {
            call.onMain([&] {
                model->message = removeFailedText;
                model->messageIsError = true;
                model->notify();
            });
            return;
        }
        call.onMain([&] {
            model->message = removedText;
            model->messageIsError = false;
            model->notify();
        });
        if (const auto again = call.onMain([&] {
                auto t = read();
                if (t) model->loadingList = true;
                return t;
            }))
            load(call, model, api, *again);
    });
}

// --- sharing, joining, unlinking ---

void MacDevicesSheetPresenter::showCode() {
    if (model_->working) return;
    const auto token = deps_.readToken();
    if (!token) return;
    model_->working = true;
    recompute();
    deps_.calls.start([model = model_, api = deps_.api, token = *token](StoreCalls::Call& call) {
        try {
            const auto invite = api.invite(KavriToken::bare(token), call.stopToken());
            call.onMain([&] {
                model->myCode = invite.code;
                model->message.reset();
                model->working = false;
                model->notify();
            });
        } catch (const StoreCalls::Cancelled&) {
            throw;
        } catch (const std::exception& e) {
            const auto text = inviteErrorText(e);
            call.onMain([&] { model->fail(text); });
        }
    });
}

void MacDevicesSheetPresenter::codeEdited(const std::string& text) {
    model_->entered = filterCode(text);
    // The field holds what was typed: a text the filter changed is drawn
    // anew even when the filtered code stayed the same ("ABCDE" + "1").
    recompute(model_->entered != text);
}

void MacDevicesSheetPresenter::confirmJoin() {
    if (model_->working || model_->entered.size() != codeLength) return;
    model_->working = true;
    recompute();
    deps_.calls.start([model = model_, api = deps_.api, write = deps_.writeToken, &subscription = deps_.subscription,
                       onClose = deps_.onClose, code = model_->entered](StoreCalls::Call& call) {
        std::string token;
        try {
            token = api.join(code, call.stopToken()).first;
        } catch (const StoreCalls::Cancelled&) {
            throw;
        } catch (const std::exception& e) {
            const auto text = joinErrorText(e);
            call.onMain([&] { model->fail(text); });
            return;
        }
        // The server has moved the device already: a token that cannot be
        // kept is said, not passed over.
        const bool kept = call.onMain([&] {
            try {
                write(token);
                return true;
            } catch (const std::exception&) {
                model->fail(joinNotKeptText);
                return false;
            }
        });
        if (!kept) return;
        subscription.refresh(call);
        call.onMain([&] {
            if (onClose) onClose();
            model->working = false;
            model->notify();
        });
    });
}

void MacDevicesSheetPresenter::unlink() {
    if (model_->working) return;
    const auto token = deps_.readToken();
    if (!token) return;
    model_->working = true;
    recompute();
    deps_.calls.start([model = model_, api = deps_.api, read = deps_.readToken, &subscription = deps_.subscription,
                       onClose = deps_.onClose, token = *token](StoreCalls::Call& call) {
        const std::string left = KavriToken::bare(token);
        try {
            api.detach(left, call.stopToken());
        } catch (const StoreCalls::Cancelled&) {
            throw;
        } catch (const std::exception&) {
            call.onMain([&] { model->fail(unlinkFailedText); });
            return;
        }
        subscription.provision(call);
        call.onMain([&] {
            // The device has left the owner's subscription: only a token of
            // its own, newly issued, counts as done.
            const auto now = read();
            if (!now || KavriToken::bare(*now) == left) {
                model->fail(unlinkFailedText);
                return;
            }
            if (onClose) onClose();
            model->working = false;
            model->notify();
        });
    });
}

void MacDevicesSheetPresenter::openInstallPage() {
    const auto& meta = deps_.subscription.lastMeta.get();
    std::string url = KavriConstants::otherDevicesURL();
    if (meta && meta->otherDevicesURL && Url::isValid(*meta->otherDevicesURL)) url = *meta->otherDevicesURL;
    if (deps_.openURL) deps_.openURL(url);
}

void MacDevicesSheetPresenter::closeClicked() {
    if (deps_.onClose) deps_.onClose();
}

// --- texts and pictures ---

std::string MacDevicesSheetPresenter::platformTitle(const Device& device) {
    if (!device.name.empty()) return device.name;
    const std::string p = lowered(device.platform);
    if (p == "ios") return "iPhone";
    if (p == "macos") return "Mac";
    if (p == "windows") return "Компьютер на Windows";
    if (p == "android") return "Android";
    if (p == "chrome" || p == "firefox") return "Браузер";
    return "Устройство без имени";
}

std::string MacDevicesSheetPresenter::addedText(const Device& device) {
    if (device.blocked) return "Удалено — доступ отключён";
    if (!device.addedAt) return "добавлено давно";
    return "добавлено " + KavriNotifications::shortDate(*device.addedAt);
}

std::optional<std::int64_t> MacDevicesSheetPresenter::freeSlots(std::optional<std::int64_t> limit,
                                                                const std::vector<Device>& devices) {
    if (!limit) return std::nullopt;
    const auto active = std::count_if(devices.begin(), devices.end(), [](const Device& d) { return !d.blocked; });
    return std::max<std::int64_t>(0, *limit - std::int64_t(active));
}

std::string MacDevicesSheetPresenter::usageText(bool devicesLoaded, std::optional<std::int64_t> limit,
                                                const std::vector<Device>& devices) {
    const std::int64_t l = limit.value_or(5);
    const std::string ls = std::to_string(l);
    const auto free = freeSlots(limit, devices);
    if (!devicesLoaded || !free) return "Вам доступно до " + ls + " " + genitive(l);
    if (*free > 0) return "Вы можете добавить ещё " + std::to_string(*free) + " из " + ls + " " + genitive(l);
    return "Все " + ls + " " + nominative(l) + " заняты — освободите место";
}

std::string MacDevicesSheetPresenter::filterCode(std::string_view text) {
    static const std::string_view alphabet = codeAlphabet;
    std::string out;
    for (std::size_t i = 0; i < text.size() && out.size() < codeLength;) {
        const auto [cp, n] = codePoint(text, i);
        i += n;
        if (cp >= 0x80) continue;
        // A letter with a mark after it is another letter.
        if (i < text.size() && combiningMark(codePoint(text, i).first)) continue;
        const char c = char(std::toupper(int(cp)));
        if (alphabet.find(c) != std::string_view::npos) out.push_back(c);
    }
    return out;
}

std::string MacDevicesSheetPresenter::inviteErrorText(const std::exception& error) {
    const auto* e = dynamic_cast<const DeviceLinkAPI::LinkV2Error*>(&error);
    if (!e) return "Не удалось получить код";
    switch (e->kind()) {
        case Kind::deviceLimit: return "Все " + std::to_string(e->limit()) + " устройств заняты — освободите место";
        case Kind::notOwner: return "Подпиской управляет владелец — раздать с этого устройства нельзя";
        case Kind::subscriptionInactive: return "Раздать можно только оплаченную подписку";
        default: return "Не удалось получить код";
    }
}

std::string MacDevicesSheetPresenter::joinErrorText(const std::exception& error) {
    const auto* e = dynamic_cast<const DeviceLinkAPI::LinkV2Error*>(&error);
    if (!e) return "Не удалось связаться с сервером";
    switch (e->kind()) {
        case Kind::deviceLimit: return "На подписке уже максимум устройств (" + std::to_string(e->limit()) + ")";
        case Kind::wouldLosePaid: {
            char number[32];
            std::snprintf(number, sizeof number, "%04lld", static_cast<long long>(e->appID()));
            const auto until = InternetDateTime::parseEitherForm(e->expiresAt());
            return std::string("На этом устройстве оплачена подписка ") + number +
                   (until ? untilSuffix(*until) : std::string()) + " — на неё нельзя перенести другую";
        }
        case Kind::notFound: return "Код не подошёл или уже истёк — попросите новый";
        default: return "Не удалось связаться с сервером";
    }
}

std::string MacDevicesSheetPresenter::untilSuffix(Clock::WallTime date) {
    return " до " + KavriNotifications::dayMonthNumeric(date);
}

std::optional<GrayImage> MacDevicesSheetPresenter::qrImage(std::string_view text) {
    return QRCodeGenerator::image(text, QRCodeGenerator::Correction::M, qrScale);
}

}  // namespace kavri
