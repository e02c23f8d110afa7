#include "ui/sheets/mac_devices_sheet_presenter.h"

#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "app/runtime/manual_executor.h"
#include "core/deployment.h"
#include "core/kavri_constants.h"
#include "core/kavri_http.h"
#include "core/kavri_notifications.h"
#include "core/keychain.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/qt_app.h"
#include "tests/ui/sheets/qr_reader.h"
#include "ui/object_names.h"
#include "ui/sheets/mac_devices_sheet.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Reply = TestControlPlane::Reply;
using P = MacDevicesSheetPresenter;
using Section = MacDevicesSheetViewState::Section;
using Device = DeviceLinkAPI::Device;
using LinkV2Error = DeviceLinkAPI::LinkV2Error;

std::string served() {
    const ojson meta = {{"version", 7}, {"pull_interval_seconds", 1800}, {"tier_0_apps", {{"ios", ojson::array()}}}};
    return ojson{{"outbounds", ojson::array({{{"tag", "proxy"}, {"type", "vless"}}})}, {"_kavri_meta", meta}}.dump();
}

Device device(std::string id, std::string name, std::string platform, bool blocked = false, bool current = false,
              std::optional<Date> addedAt = std::nullopt) {
    Device d;
    d.id = std::move(id);
    d.name = std::move(name);
    d.platform = std::move(platform);
    d.blocked = blocked;
    d.current = current;
    d.addedAt = addedAt;
    return d;
}

LinkV2Error errorFrom(const std::string& body, int status = 409) {
    return LinkV2Error(status, json::parse(body));
}

// --- pure functions as tables ---

TEST(MacDevicesSheetTextTest, TheCodeFilterKeepsSixCharactersOfTheAlphabet) {
    const struct {
        std::string typed, kept;
    } rows[] = {
        {"abcdef", "ABCDEF"},              // lower case is raised
        {"ab-c1o0d", "ABCD"},              // dashes, 1, O and 0 go
        {"k7m2 x9q4 zz", "K7M2X9"},        // spaces go; a longer paste keeps its first six
        {"  K7-M2-X9  ", "K7M2X9"},
        {"IiOo0101", ""},                  // I, O, 0 and 1 are never in a code
        {"АВС234", "234"},                 // Cyrillic look-alikes are dropped
        {"kавri", "KR"},                   // mixed scripts: only the Latin letters stay
        {"A\u0301BC", "BC"},               // a letter with an accent is another letter
        {"23456789XYZ", "234567"},
        {"", ""},
        {"ÄÖÜß€✓😀", ""},
        {std::string("AB\xff\xfe" "CD"), "ABCD"},  // bytes that are not text
    };
    for (const auto& r : rows) {
        EXPECT_EQ(P::filterCode(r.typed), r.kept) << r.typed;
        EXPECT_EQ(P::filterCode(P::filterCode(r.typed)), r.kept) << "a second pass changes nothing";
    }
}

TEST(MacDevicesSheetTextTest, RowTitlesAndAddedLines) {
    const Date added = std::chrono::sys_days(std::chrono::year(2026) / 12 / 7) + 12h;
    const struct {
        Device device;
        std::string title, added;
    } rows[] = {
        {device("1", "Мой ноутбук", "macos", false, false, added), "Мой ноутбук", "добавлено " + KavriNotifications::shortDate(added)},
        {device("2", "", "MACOS"), "Mac", "добавлено давно"},
        {device("3", "", "ios"), "iPhone", "добавлено давно"},
        {device("4", "", "Windows"), "Компьютер на Windows", "добавлено давно"},
        {device("5", "", "android"), "Android", "добавлено давно"},
        {device("6", "", "chrome"), "Браузер", "добавлено давно"},
        {device("7", "", "firefox"), "Браузер", "добавлено давно"},
        {device("8", "", "tv"), "Устройство без имени", "добавлено давно"},
        {device("9", "", "", true, false, added), "Устройство без имени", "Удалено — доступ отключён"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(P::platformTitle(r.device), r.title) << r.device.id;
        EXPECT_EQ(P::addedText(r.device), r.added) << r.device.id;
    }
    EXPECT_EQ(KavriNotifications::shortDate(added), "07.12.2026");
}

TEST(MacDevicesSheetTextTest, TheUsageLineAgainstTheLimit) {
    const auto active = [](int n, int blocked = 0) {
        std::vector<Device> v;
        for (int i = 0; i < n; ++i) v.push_back(device("a" + std::to_string(i), "", "ios", false, i == 0));
        for (int i = 0; i < blocked; ++i) v.push_back(device("b" + std::to_string(i), "", "ios", true));
        return v;
    };
    const struct {
        bool loaded;
        std::optional<std::int64_t> limit;
        std::vector<Device> devices;
        std::string text;
    } rows[] = {
        {false, std::nullopt, {}, "Вам доступно до 5 устройств"},
        {false, 21, active(3), "Вам доступно до 21 устройства"},  // not loaded yet
        {true, std::nullopt, active(3), "Вам доступно до 5 устройств"},
        {true, 5, active(3), "Вы можете добавить ещё 2 из 5 устройств"},
        {true, 5, active(5), "Все 5 устройств заняты — освободите место"},
        {true, 5, active(4, 3), "Вы можете добавить ещё 1 из 5 устройств"},  // removed devices do not count
        {true, 1, active(1), "Все 1 устройство заняты — освободите место"},
        {true, 21, active(20), "Вы можете добавить ещё 1 из 21 устройства"},
        {true, 12, active(1), "Вы можете добавить ещё 11 из 12 устройств"},
        {true, 3, active(7), "Все 3 устройства заняты — освободите место"},  // over the limit: 0, never less
        {true, 11, active(11), "Все 11 устройств заняты — освободите место"},
        {true, 22, active(22), "Все 22 устройства заняты — освободите место"},
    };
    for (const auto& r : rows) EXPECT_EQ(P::usageText(r.loaded, r.limit, r.devices), r.text);
    EXPECT_EQ(P::freeSlots(3, active(7)), 0);
    EXPECT_EQ(P::freeSlots(std::nullopt, active(1)), std::nullopt);
}

TEST(MacDevicesSheetTextTest, ErrorTextsOfSharingAndJoining) {
    const Date march5 = std::chrono::sys_days(std::chrono::year(2027) / 3 / 5) + 12h;
    const std::string until = " до " + KavriNotifications::dayMonthNumeric(march5);
    ASSERT_EQ(until, " до 05.03");
    const struct {
        std::string body;
        int status;
        std::string invite, join;
    } rows[] = {
        {R"({"error":"device_limit","limit":3,"used":3})", 409, "Все 3 устройств заняты — освободите место",
         "На подписке уже максимум устройств (3)"},
        {R"({"error":"device_limit","limit":21,"used":21})", 409, "Все 21 устройств заняты — освободите место",
         "На подписке уже максимум устройств (21)"},
        {R"({"error":"not_owner"})", 403, "Подпиской управляет владелец — раздать с этого устройства нельзя",
         "Не удалось связаться с сервером"},
        {R"({"error":"subscription_inactive"})", 403, "Раздать можно только оплаченную подписку",
         "Не удалось связаться с сервером"},
        {R"({"error":"x"})", 404, "Не удалось получить код", "Код не подошёл или уже истёк — попросите новый"},
        {R"({})", 500, "Не удалось получить код", "Не удалось связаться с сервером"},
        {R"({"error":"would_lose_paid","app_id":42,"plan":"pro","expires_at":"2027-03-05T12:00:00Z"})", 409,
         "Не удалось получить код", "На этом устройстве оплачена подписка 0042" + until + " — на неё нельзя перенести другую"},
        {R"({"error":"would_lose_paid","app_id":42,"expires_at":"2027-03-05T12:00:00.250Z"})", 409,
         "Не удалось получить код", "На этом устройстве оплачена подписка 0042" + until + " — на неё нельзя перенести другую"},
        {R"({"error":"would_lose_paid","app_id":123456,"expires_at":""})", 409, "Не удалось получить код",
         "На этом устройстве оплачена подписка 123456 — на неё нельзя перенести другую"},
        {R"({"error":"would_lose_paid","app_id":7,"expires_at":"5 марта"})", 409, "Не удалось получить код",
         "На этом устройстве оплачена подписка 0007 — на неё нельзя перенести другую"},
    };
    for (const auto& r : rows) {
        const auto e = errorFrom(r.body, r.status);
        EXPECT_EQ(P::inviteErrorText(e), r.invite) << r.body;
        EXPECT_EQ(P::joinErrorText(e), r.join) << r.body;
    }
    const std::runtime_error other("boom");
    EXPECT_EQ(P::inviteErrorText(other), "Не удалось получить код");
    EXPECT_EQ(P::joinErrorText(other), "Не удалось связаться с сервером");
}

TEST(MacDevicesSheetTextTest, TheQRImageIsTheStandardSymbolTenPixelsAModule) {
    const std::string link = std::string(P::linkPrefix) + "K7M2X9";
    const auto image = P::qrImage(link);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 250);  // version 2: 25 modules
    EXPECT_EQ(image->height, 250);
    EXPECT_EQ(image->at(0, 0), 0);    // the finder pattern's corner is dark
    EXPECT_EQ(image->at(9, 9), 0);    // a whole module of 10 × 10
    EXPECT_EQ(image->at(15, 15), 255);  // the finder's white ring
    EXPECT_EQ(test::readQRCodes(*image), std::vector<std::string>{link});
    EXPECT_FALSE(P::qrImage(""));
}

// --- the presenter against the test control plane ---

class MacDevicesSheetPresenterTest : public ::testing::Test {
protected:
    static constexpr const char* token = "0123456789abcdef";  // tokens are 16 or more of these characters

    void SetUp() override {
        Deployment::install(plane.deployment());
        Keychain::deleteItem(Keychain::Item::subToken);
        Keychain::write(token, Keychain::Item::subToken);
        plane.setSubscription(token, served());
        subscription = std::make_unique<SubscriptionStore>(main, SubscriptionClient(KavriHTTP::api(), store, clock),
                                                           KavriAPI(KavriHTTP::api(), store, clock), store, clock);
    }
    void TearDown() override {
        presenter.reset();
        calls.reset();
        subscription.reset();
        Keychain::deleteItem(Keychain::Item::subToken);
        Deployment::install(saved);
    }

    P& make() {
        calls = std::make_unique<StoreCalls>(main);
        presenter = std::make_unique<P>(P::keychainDeps(
            *subscription, *calls, DeviceLinkAPI(DeviceLinkAPI::session(), store, clock),
            [this](const std::string& url) { opened.push_back(url); }, [this] { ++closes; }));
        presenter->setOnChange([this] { ++changes; });
        return *presenter;
    }
    bool until(const std::function<bool()>& done) { return main.runUntil(done, 60s); }
    // Drives the main thread until every request the sheet started ended.
    void settle() {
        EXPECT_TRUE(main.runUntil([&] { return calls->idle(); }, 60s));
        main.runUntilIdle();
    }
    std::vector<std::string> requests() const {
        std::vector<std::string> out;
        for (const auto& r : plane.requests()) out.push_back(r.call());
        return out;
    }
    std::size_t count(const std::string& call) const {
        const auto r = requests();
        return std::size_t(std::count(r.begin(), r.end(), call));
    }

    const Deployment saved = Deployment::current();
    ManualExecutor main;
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 6 / 15))};
    TestControlPlane plane;
    test::TempDir dir;
    KavriStore store{dir.path()};
    std::unique_ptr<SubscriptionStore> subscription;
    std::unique_ptr<StoreCalls> calls;
    std::unique_ptr<P> presenter;
    std::vector<std::string> opened;
    int closes = 0;
    int changes = 0;
};

TEST_F(MacDevicesSheetPresenterTest, TheAccountBlockFollowsRoleAndState) {
    using S = SubscriptionState;
    const std::string shortText = "Введите код с устройства, откуда переносите";
    const std::string longText =
        "Раздать можно только оплаченную подписку. Чтобы перенести доступ сюда — введите код с того устройства";
    const struct {
        std::optional<std::string> role;
        std::optional<S> state;
        Section section;
        std::string explanation;
    } rows[] = {
        {std::nullopt, std::nullopt, Section::join, shortText},
        {std::nullopt, S::trial, Section::join, longText},
        {std::nullopt, S::chargeFailed, Section::join, shortText},
        {std::nullopt, S::expired, Section::join, shortText},
        {std::string("owner"), S::paidAutopay, Section::share, shortText},
        {std::nullopt, S::paidCancelled, Section::share, shortText},
        {std::nullopt, S::granted, Section::share, shortText},
        {std::string("member"), S::paidAutopay, Section::member, shortText},
        {std::string("member"), std::nullopt, Section::member, shortText},
    };
    auto& p = make();
    for (const auto& r : rows) {
        subscription->role = r.role;
        subscription->state = r.state;
        EXPECT_EQ(p.state().section, r.section);
        EXPECT_EQ(p.state().showsDevices, r.role != std::optional<std::string>("member"));
        EXPECT_EQ(p.state().joinExplanation, r.explanation);
    }
}

TEST_F(MacDevicesSheetPresenterTest, TheListShowsTheOtherDevicesAndTheUsage) {
    plane.setDevices(token, json{{"limit", 5},
                                 {"devices",
                                  {{{"device_id", "me"}, {"name", "Этот Mac"}, {"platform", "macos"}, {"current", true}},
                                   {{"device_id", "p1"}, {"platform", "IOS"}, {"added_at", "2026-12-07T10:00:00Z"}},
                                   {{"device_id", "w1"}, {"name", "Работа"}, {"platform", "windows"}, {"blocked", 1}},
                                   {{"device_id", "x1"}, {"name", 7}, {"platform", "tv"}}}}}
                                .dump());
    auto& p = make();
    EXPECT_EQ(p.state().usageText, "Вам доступно до 5 устройств");  // before the list came
    p.appear();
    ASSERT_TRUE(until([&] { return !p.state().rows.empty(); }));
    EXPECT_EQ(p.state().usageText, "Вы можете добавить ещё 2 из 5 устройств");  // the removed one does not count
    const auto& rows = p.state().rows;
    ASSERT_EQ(rows.size(), 3u);  // the current device is never listed
    EXPECT_EQ(rows[0].title, "Устройство");  // a nameless device as the server list reads it
    EXPECT_EQ(rows[0].subtitle, "добавлено " + KavriNotifications::shortDate(std::chrono::sys_days(
                                                   std::chrono::year(2026) / 12 / 7) + 10h));
    EXPECT_TRUE(rows[0].removable);
    EXPECT_EQ(rows[1].title, "Работа");
    EXPECT_EQ(rows[1].subtitle, "Удалено — доступ отключён");
    EXPECT_FALSE(rows[1].removable);
    EXPECT_EQ(rows[2].subtitle, "добавлено давно");
    EXPECT_EQ(std::vector<bool>({rows[0].separatorBelow, rows[1].separatorBelow, rows[2].separatorBelow}),
              std::vector<bool>({true, true, false}));  // none under the last
    EXPECT_EQ(plane.requests().at(0).header("X-Device-Id").has_value(), true);

    // A failed reload keeps the list and the line, silently.
    plane.scriptAlways(Reply::withStatus(500), "/devices/list");
    p.disappear();
    p.appear();
    settle();
    EXPECT_EQ(p.state().rows.size(), 3u);
    EXPECT_EQ(p.state().usageText, "Вы можете добавить ещё 2 из 5 устройств");
    EXPECT_FALSE(p.state().message);

    // A member has no list and asks for none.
    plane.clearRequests();
    subscription->role = std::string("member");
    p.disappear();
    p.appear();
    settle();
    EXPECT_FALSE(p.state().showsDevices);
    EXPECT_EQ(count("POST /devices/list"), 0u);
}

TEST_F(MacDevicesSheetPresenterTest, OnlyTheCurrentDeviceShowsNoRowsAndAFullListSaysSo) {
    plane.setDevices(token, R"({"limit":1,"devices":[{"device_id":"me","current":true}]})");
    auto& p = make();
    p.appear();
    ASSERT_TRUE(until([&] { return p.state().usageText != "Вам доступно до 1 устройства" &&
                                   p.state().usageText != "Вам доступно до 5 устройств"; }));
    EXPECT_TRUE(p.state().rows.empty());
    EXPECT_EQ(p.state().usageText, "Все 1 устройство заняты — освободите место");
}

TEST_F(MacDevicesSheetPresenterTest, PressingRemoveRemovesAtOnceAndReloads) {
    const std::string before =
        R"({"limit":3,"devices":[{"device_id":"me","current":true},{"device_id":"p1","name":"Телефон"},{"device_id":"p2","name":"Планшет"}]})";
    const std::string after =
        R"({"limit":3,"devices":[{"device_id":"me","current":true},{"device_id":"p1","name":"Телефон","blocked":true},{"device_id":"p2","name":"Планшет"}]})";
    plane.setDevices(token, before);
    std::vector<json> removals;
    plane.route("POST", "/devices/remove", [&](const TestControlPlane::Request& r) {
        removals.push_back(json::parse(r.body));
        plane.setDevices(token, after);
        return Reply::json("{}");
    });
    auto& p = make();
    p.appear();
    ASSERT_TRUE(until([&] { return p.state().rows.size() == 2; }));
    EXPECT_EQ(p.state().usageText, "Все 3 устройства заняты — освободите место");

    // One press removes: the message, then the reloaded list.
    p.removeClicked("p1");
    ASSERT_TRUE(until([&] { return !p.state().rows.empty() && !p.state().rows[0].removable; }));
    EXPECT_EQ(p.state().message, P::removedText);
    EXPECT_EQ(p.state().messageColor, PaletteColor::success);
    EXPECT_EQ(p.state().rows[0].subtitle, "Удалено — доступ отключён");
    EXPECT_EQ(p.state().usageText, "Вы можете добавить ещё 1 из 3 устройств");
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_EQ(removals[0], (json{{"token", token}, {"device_id", "p1"}}));
    settle();
    EXPECT_EQ(count("POST /devices/list"), 2u);

    // A failed removal says so and keeps the list as it is.
    plane.scriptAlways(Reply::withStatus(500), "/devices/remove");
    p.removeClicked("p2");
    ASSERT_TRUE(until([&] { return p.state().message == std::optional<std::string>(P::removeFailedText); }));
    EXPECT_EQ(p.state().messageColor, PaletteColor::danger);
    settle();
    EXPECT_EQ(count("POST /devices/list"), 2u);
    EXPECT_EQ(p.state().rows.size(), 2u);

    // Without a token nothing is sent and nothing changes.
    Keychain::deleteItem(Keychain::Item::subToken);
    plane.clearRequests();
    p.removeClicked("p2");
    settle();
    EXPECT_TRUE(plane.requests().empty());
    EXPECT_EQ(p.state().message, P::removeFailedText);
}

TEST_F(MacDevicesSheetPresenterTest, SharingShowsTheCodeAndItsPictureOrTheError) {
    subscription->state = SubscriptionState::paidAutopay;
    auto& p = make();
    ASSERT_EQ(p.state().section, Section::share);

    // Each refusal shows its text, and the button comes back.
    const struct {
        Reply reply;
        std::string text;
    } refusals[] = {
        {Reply::json(R"({"error":"device_limit","limit":3,"used":3})", 409), "Все 3 устройств заняты — освободите место"},
        {Reply::json(R"({"error":"not_owner"})", 403), "Подпиской управляет владелец — раздать с этого устройства нельзя"},
        {Reply::json(R"({"error":"subscription_inactive"})", 403), "Раздать можно только оплаченную подписку"},
        {Reply::json(R"({"error":"gone"})", 410), "Не удалось получить код"},
    };
    for (const auto& r : refusals) {
        plane.script(r.reply, "/link/invite");
        p.showCode();
        EXPECT_FALSE(p.state().shareEnabled);
        EXPECT_EQ(p.state().shareLabel, "Готовим…");
        ASSERT_TRUE(until([&] { return p.state().shareEnabled; }));
        EXPECT_EQ(p.state().message, r.text);
        EXPECT_EQ(p.state().messageColor, PaletteColor::danger);
        EXPECT_EQ(p.state().shareLabel, "Показать код");
        EXPECT_FALSE(p.state().code);
    }

    plane.script(Reply::json(R"({"code":"K7M2X9","expires_at":1781000000})"), "/link/invite");
    p.showCode();
    ASSERT_TRUE(until([&] { return p.state().code.has_value(); }));
    EXPECT_EQ(*p.state().code, "K7M2X9");
    EXPECT_FALSE(p.state().message);  // a success clears the earlier failure
    ASSERT_TRUE(p.state().qr);
    EXPECT_EQ(test::readQRCodes(*p.state().qr), std::vector<std::string>{"kavri://link?code=K7M2X9"});
    EXPECT_EQ(json::parse(plane.requests().back().body), (json{{"token", token}}));
}

TEST_F(MacDevicesSheetPresenterTest, WithoutATokenShareAndUnlinkDoNothing) {
    Keychain::deleteItem(Keychain::Item::subToken);
    subscription->state = SubscriptionState::granted;
    auto& p = make();
    const auto before = p.state();
    p.showCode();
    subscription->role = std::string("member");
    const auto member = p.state();
    p.unlink();
    settle();
    EXPECT_EQ(p.state(), member);
    EXPECT_EQ(before.shareLabel, "Показать код");
    EXPECT_TRUE(plane.requests().empty());
}

// The field shows what the filter kept: an edit it altered is published
// even when the code stayed the same, so that the view rewrites the field.
TEST_F(MacDevicesSheetPresenterTest, AnEditTheFilterAlteredIsPublishedEvenWhenTheCodeStaysTheSame) {
    auto& p = make();
    p.codeEdited("ABCDE");
    const int before = changes;
    p.codeEdited("ABCDE1");
    EXPECT_EQ(p.state().entered, "ABCDE");
    EXPECT_EQ(changes, before + 1);
    p.codeEdited("ABCDE");  // as the field now holds: nothing to tell
    EXPECT_EQ(changes, before + 1);
}

TEST_F(MacDevicesSheetPresenterTest, TheJoinFieldHoldsTheFilteredCodeAtEveryKeystroke) {
    test::qtApp();
    auto& p = make();
    MacDevicesSheet sheet;
    sheet.bind(p);
    sheet.resize(361, 543);
    sheet.show();
    auto* field = sheet.findChild<QLineEdit*>(ObjectName::devicesCodeField);
    ASSERT_TRUE(field && field->isVisible());
    field->setFocus();
    const QString typed = "k7m2 x9q4 zz";
    const QString shown[] = {"K", "K7", "K7M", "K7M2", "K7M2", "K7M2X", "K7M2X9", "K7M2X9",
                             "K7M2X9", "K7M2X9", "K7M2X9", "K7M2X9"};
    for (int i = 0; i < typed.size(); ++i) {
        QTest::keyClick(field, typed[i].toLatin1());
        EXPECT_EQ(field->text().toStdString(), shown[i].toStdString()) << "after " << typed.left(i + 1).toStdString();
    }
    EXPECT_EQ(p.state().entered, "K7M2X9");
}

TEST_F(MacDevicesSheetPresenterTest, JoiningStoresTheNewTokenRefreshesAndCloses) {
    auto& p = make();
    p.codeEdited("k7m2x");
    EXPECT_EQ(p.state().entered, "K7M2X");
    EXPECT_FALSE(p.state().confirmEnabled);
    EXPECT_DOUBLE_EQ(p.state().confirmOpacity, 0.35);
    p.confirmJoin();  // five characters: nothing is sent
    p.codeEdited("k7m2x9");
    EXPECT_TRUE(p.state().confirmEnabled);
    EXPECT_DOUBLE_EQ(p.state().confirmOpacity, 1.0);

    // Each refusal shows its text and keeps the typed code.
    const struct {
        Reply reply;
        std::string text;
    } refusals[] = {
        {Reply::json(R"({"error":"not_found"})", 404), "Код не подошёл или уже истёк — попросите новый"},
        {Reply::json(R"({"error":"device_limit","limit":5,"used":5})", 409), "На подписке уже максимум устройств (5)"},
        {Reply::json(R"({"error":"would_lose_paid","app_id":42,"expires_at":"bad"})", 409),
         "На этом устройстве оплачена подписка 0042 — на неё нельзя перенести другую"},
        {Reply::json(R"({"error":"not_owner"})", 403), "Не удалось связаться с сервером"},
    };
    for (const auto& r : refusals) {
        plane.script(r.reply, "/link/join");
        p.confirmJoin();
        EXPECT_FALSE(p.state().confirmEnabled);
        EXPECT_EQ(p.state().confirmLabel, "Переносим…");
        ASSERT_TRUE(until([&] { return p.state().confirmEnabled; }));
        EXPECT_EQ(p.state().message, r.text);
        EXPECT_EQ(p.state().messageColor, PaletteColor::danger);
        EXPECT_EQ(p.state().entered, "K7M2X9");
        EXPECT_EQ(p.state().confirmLabel, "Подтвердить");
    }
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(count("POST /link/join"), 4u);

    plane.setSubscription("fedcba9876543210", served());
    plane.script(Reply::json(R"({"sub_token":"fedcba9876543210","app_id":77})"), "/link/join");
    plane.clearRequests();
    p.confirmJoin();
    ASSERT_TRUE(until([&] { return closes == 1; }));
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "fedcba9876543210");
    EXPECT_EQ(requests(), (std::vector<std::string>{"POST /link/join", "GET /sub/fedcba9876543210"}));
    EXPECT_EQ(json::parse(plane.requests().at(0).body)["code"], "K7M2X9");
    EXPECT_TRUE(p.state().confirmEnabled);
    EXPECT_TRUE(p.state().message);  // a success closes without clearing the message first
}

TEST_F(MacDevicesSheetPresenterTest, AJoinedTokenTheKeychainCannotKeepIsReportedAndTheSheetStays) {
    // The keychain's folder cannot be made: every write fails.
    test::TempDir broken;
    std::ofstream(broken.path() / "file") << "x";
    const std::string saved = std::getenv("KAVRI_KEYCHAIN_DIR");
    setenv("KAVRI_KEYCHAIN_DIR", (broken.path() / "file" / "keychain").c_str(), 1);
    plane.script(Reply::json(R"({"sub_token":"fedcba9876543210"})"), "/link/join");
    auto& p = make();
    p.codeEdited("K7M2X9");
    p.confirmJoin();
    const bool ended = until([&] { return p.state().confirmEnabled; });
    setenv("KAVRI_KEYCHAIN_DIR", saved.c_str(), 1);
    ASSERT_TRUE(ended);
    EXPECT_EQ(p.state().message, P::joinNotKeptText);
    EXPECT_EQ(p.state().messageColor, PaletteColor::danger);
    EXPECT_EQ(closes, 0);
    settle();
    EXPECT_EQ(requests(), std::vector<std::string>{"POST /link/join"});  // no pull with a token that is not kept
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), token);
}

TEST_F(MacDevicesSheetPresenterTest, UnlinkingDetachesThenProvisionsAndCloses) {
    subscription->role = std::string("member");
    auto& p = make();
    ASSERT_EQ(p.state().section, Section::member);

    plane.script(Reply::withStatus(500), "/devices/detach");
    p.unlink();
    EXPECT_EQ(p.state().unlinkLabel, "Отвязываем…");
    EXPECT_FALSE(p.state().unlinkEnabled);
    ASSERT_TRUE(until([&] { return p.state().unlinkEnabled; }));
    EXPECT_EQ(p.state().message, P::unlinkFailedText);
    EXPECT_EQ(p.state().unlinkLabel, "Отвязать подписку");

    plane.clearRequests();
    plane.setProvisionedToken("00112233445566778899");
    plane.setSubscription("00112233445566778899", served());
    plane.setStatus("00112233445566778899", R"({"state":"trial","app_id":5})");
    plane.script(Reply::json("{}"), "/devices/detach");
    p.unlink();
    ASSERT_TRUE(until([&] { return closes == 1; }));
    EXPECT_EQ(requests(), (std::vector<std::string>{"POST /devices/detach", "POST /provision", "GET /sub/00112233445566778899",
                                                    "GET /status/00112233445566778899"}));
    EXPECT_EQ(json::parse(plane.requests().at(0).body), (json{{"token", token}}));
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "00112233445566778899");
    EXPECT_EQ(p.state().section, Section::join);  // the device manages its own trial now
    EXPECT_TRUE(p.state().unlinkEnabled);
}

TEST_F(MacDevicesSheetPresenterTest, AnUnlinkWhoseRegistrationFailsIsAFailure) {
    subscription->role = std::string("member");
    plane.script(Reply::json("{}"), "/devices/detach");
    // No token to issue: the registration answers 503 and keeps none.
    auto& p = make();
    p.unlink();
    ASSERT_TRUE(until([&] { return p.state().unlinkEnabled; }));
    EXPECT_EQ(p.state().message, P::unlinkFailedText);
    EXPECT_EQ(p.state().messageColor, PaletteColor::danger);
    EXPECT_EQ(closes, 0);
    EXPECT_TRUE(subscription->lastError.get().has_value());
    EXPECT_EQ(count("POST /provision"), 1u);
}

TEST_F(MacDevicesSheetPresenterTest, TheInstallPageIsTheMetadataLinkOrTheBuiltInOne) {
    auto& p = make();
    const auto meta = [](std::optional<std::string> url) {
        SubscriptionMeta m;
        m.otherDevicesURL = std::move(url);
        return std::optional<SubscriptionMeta>(m);
    };
    subscription->lastMeta = meta(std::string("https://get.example/apps"));
    p.openInstallPage();
    subscription->lastMeta = meta(std::nullopt);
    p.openInstallPage();
    subscription->lastMeta = meta(std::string("no link"));
    p.openInstallPage();
    subscription->lastMeta = std::nullopt;
    p.openInstallPage();
    const std::string builtIn = KavriConstants::otherDevicesURL();
    EXPECT_EQ(opened, (std::vector<std::string>{"https://get.example/apps", builtIn, builtIn, builtIn}));
}

TEST_F(MacDevicesSheetPresenterTest, ARequestStartedRunsToItsEndAfterTheSheetCloses) {
    plane.setSubscription("fedcba9876543210", served());
    plane.script(Reply::json(R"({"sub_token":"fedcba9876543210"})"), "/link/join");
    auto& p = make();
    p.codeEdited("K7M2X9");
    p.confirmJoin();
    presenter.reset();  // the sheet goes while the request runs
    ASSERT_TRUE(until([&] { return closes == 1; }));
    EXPECT_EQ(Keychain::read(Keychain::Item::subToken), "fedcba9876543210");
}

}  // namespace
}  // namespace kavri
