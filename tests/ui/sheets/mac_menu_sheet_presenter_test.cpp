#include "ui/sheets/mac_menu_sheet_presenter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "api/app_update.h"
#include "app/runtime/manual_executor.h"
#include "core/deployment.h"
#include "core/keychain.h"
#include "core/kavri_http.h"
#include "core/kavri_notifications.h"
#include "core/property_list.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "testing/test_pki.h"
#include "tests/support/fake_bundle.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/sheets/account_fixture.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Phase = MacUpdater::Phase;
using S = SubscriptionState;
using P = PaletteColor;
namespace fs = std::filesystem;

const std::string team = "KV7TEAM0ID";
constexpr pid_t noProcess = 4194304;  // above any process id: the swap does not wait
const MacMenuSheetPresenter::Links links{"https://t.test/kavri_bot", "https://kavri.test/privacy",
                                         "https://kavri.test/terms", "https://t.test/kavri_support"};

// --- the derived texts as tables ---

TEST(MacMenuSheetTextsTest, StatusLineByStateAndWhatIsKnown) {
    FakeClock clock(Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 3 / 1)));
    const Date march14 = Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 3 / 14) + 12h);
    const Date nextYear = Clock::WallTime(std::chrono::sys_days(std::chrono::year(2027) / 3 / 14) + 12h);
    const struct {
        std::optional<S> state;
        std::optional<std::int64_t> days;
        std::optional<Date> until;
        std::string text;
        P color;
    } rows[] = {
        {S::trial, 1, {}, "Пробный период: осталось 1 день", P::success},
        {S::trial, 2, {}, "Пробный период: осталось 2 дня", P::success},
        {S::trial, 5, {}, "Пробный период: осталось 5 дней", P::success},
        {S::trial, 11, {}, "Пробный период: осталось 11 дней", P::success},
        {S::trial, 21, {}, "Пробный период: осталось 21 день", P::success},
        {S::trial, 22, {}, "Пробный период: осталось 22 дня", P::success},
        {S::trial, 0, {}, "Пробный период: осталось 0 дней", P::success},
        {S::trial, {}, march14, "Пробный период", P::success},
        {S::granted, {}, march14, "Активна до 14.03", P::success},
        {S::paidAutopay, {}, nextYear, "Активна до 14.03.2027", P::success},
        {S::paidAutopay, {}, {}, "Активна", P::success},
        {S::paidCancelled, {}, march14, "Оплачено до 14.03", P::success},
        {S::paidCancelled, {}, {}, "Оплачено", P::success},
        {S::chargeFailed, 3, march14, "Списание не прошло", P::danger},
        {S::expired, {}, march14, "Закончилась", P::danger},
        {std::nullopt, 3, march14, "—", P::neutral},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MacMenuSheetPresenter::statusLine(row.state, row.days, row.until, clock),
                  (MacMenuSheetPresenter::StatusLine{row.text, row.color}))
            << row.text;
    }
}

TEST(MacMenuSheetTextsTest, AccountNumberHasAtLeastFourDigits) {
    EXPECT_EQ(MacMenuSheetPresenter::idText(7), "Ваш ID: 0007");
    EXPECT_EQ(MacMenuSheetPresenter::idText(12345), "Ваш ID: 12345");
    EXPECT_EQ(MacMenuSheetPresenter::idText(123456), "Ваш ID: 123456");
    EXPECT_EQ(MacMenuSheetPresenter::idText(std::nullopt), "Ваш ID: —");
}

TEST(MacMenuSheetTextsTest, ReferralLinkWebThenLinkThenTheBotWithTheNumber) {
    using Referral = KavriAPI::StatusResult::Referral;
    const auto with = [](std::optional<std::string> link, std::optional<std::string> web) {
        Referral r;
        r.link = std::move(link);
        r.webLink = std::move(web);
        return std::optional<Referral>(r);
    };
    const struct {
        std::optional<Referral> referral;
        std::optional<std::int64_t> id;
        std::optional<std::string> link;
    } rows[] = {
        {with("tg://ref", "https://web/ref"), 42, "https://web/ref"},
        {with("tg://ref", ""), 42, "tg://ref"},
        {with("", ""), 42, "https://t.test/kavri_bot?start=ref_42"},
        {with({}, {}), 7, "https://t.test/kavri_bot?start=ref_7"},  // no leading zeros
        {with({}, {}), std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(MacMenuSheetPresenter::referralLink(row.referral, row.id, links.bot), row.link);
}

// --- the sheet against the real account store, updater and control plane ---

class MacMenuSheetPresenterTest : public test::AccountFixture {
protected:
    void SetUp() override {
        AccountFixture::SetUp();
        fs::create_directories(tmp);
        test::writeFakeBundle(current, "old", launches);
        writeBuild(current, "5");
    }
    void TearDown() override {
        presenter.reset();
        AccountFixture::TearDown();
    }

    static void writeBuild(const fs::path& app, const std::string& build) {
        std::ofstream(app / "Contents" / "Info.plist", std::ios::binary)
            << *PropertyList::encodeBinary(PlistValue(PlistValue::Dict{{"CFBundleVersion", build}}));
    }

    // A status read from the plane.
    void status(const json& body) {
        plane.setStatus(token, body.dump());
        bool done = false;
        subscription->refreshStatus([&] { done = true; });
        ASSERT_TRUE(main.runUntil([&] { return done; }));
    }

    MacUpdater::Deps updaterDeps() {
        const std::string tools = std::string(KAVRI_BINARY_DIR) + "/platform/tools/";
        MacUpdater::Deps d;
        d.bundle = current;
        d.temporaryDirectory = tmp;
        d.pid = noProcess;
        d.terminateAfter = [this](auto) { ++terminations; };
        d.tools = {tools + "hdiutil", tools + "codesign", tools + "spctl", tools + "xattr"};
        d.currentBuild = 5;
        d.teamIdentifier = team;
        d.codeSigningRoots = TestPki::shared().caFile();
        HttpSessionConfig config;
        config.caBundle = TestPki::shared().caFile();
        d.downloads = HttpSession(config);
        return d;
    }

    MacMenuSheetPresenter& make() {
        presenter = std::make_unique<MacMenuSheetPresenter>(
            main, MacMenuSheetPresenter::Deps{
                      *subscription,
                      [this] { events.push_back("plans"); },
                      [this] { events.push_back("devices"); },
                      [this] { events.push_back("close"); },
                      [this](const std::string& url) { opened.push_back(url); },
                      pasteboard,
                      [this](std::stop_token stop) { return AppUpdate::fetchLatest(stop, shared); },
                      [this] { return std::make_shared<MacUpdater>(main, updaterDeps()); },
                      [this](std::shared_ptr<MacUpdater> updater) { kept.push_back(std::move(updater)); },
                      5,
                      "1.0",
                      links,
                      clock});
        return *presenter;
    }

    // A release of build 6 signed by our team the way a release is made,
    // named by the plane's manifest; `cut` serves half of its image.
    void offerRelease(bool cut = false) {
        const fs::path app = temp / "release" / "Kavri.app";
        test::writeFakeBundle(app, "new", launches);
        writeBuild(app, "6");
        std::ofstream(app / "Contents" / "Resources.bin", std::ios::binary) << std::string(2 << 20, 'k');
        const fs::path image = temp / "release" / "Kavri.dmg";
        const auto identity = TestPki::shared().signingIdentity(team, true);
        const std::string command = std::string(KAVRI_BINARY_DIR) + "/testing/kavri-pack-update --bundle '" +
                                    app.string() + "' --certificate " + identity.certFile + " --key " +
                                    identity.keyFile + " --output " + image.string();
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::string bytes = test::readFile(image);
        if (cut) bytes.resize(bytes.size() / 2);
        plane.serveFile("/dl/Kavri-6.dmg", std::move(bytes));
        plane.serveFile("/dl/latest.json", R"({"mac":{"build":6,"version":"2.0","url":"Kavri-6.dmg"}})");
    }

    // Every update label the sheet showed while `until` did not hold.
    std::vector<std::string> labelsUntil(const std::function<bool()>& until) {
        std::vector<std::string> labels{presenter->state().update.text};
        presenter->setOnChange([&] {
            if (labels.back() != presenter->state().update.text) labels.push_back(presenter->state().update.text);
        });
        EXPECT_TRUE(main.runUntil(until));
        presenter->setOnChange(nullptr);
        return labels;
    }

    const fs::path apps = temp / "apps", current = apps / "Kavri.app", tmp = temp / "tmp", launches = temp / "launches";
    std::shared_ptr<TextPasteboard> pasteboard = std::make_shared<TextPasteboard>("earlier");
    std::unique_ptr<MacMenuSheetPresenter> presenter;
    std::vector<std::string> events, opened;
    int terminations = 0;
    std::vector<std::shared_ptr<MacUpdater>> kept;  // the attempts that outlived their sheet
};

TEST_F(MacMenuSheetPresenterTest, CopyingTheNumberConfirmsFor1Point6SecondsOfTheClock) {
    status({{"app_id", 42}, {"state", "trial"}, {"days_left", 5}});
    auto& p = make();
    EXPECT_EQ(p.state().idLine, "Ваш ID: 0042");
    EXPECT_EQ(p.state().statusText, "Пробный период: осталось 5 дней");

    p.idClicked();
    EXPECT_EQ(pasteboard->string(), "Ваш ID: 0042");
    EXPECT_EQ(p.state().idLine, "Скопировано");
    EXPECT_EQ(p.state().idColor, P::accent);

    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(1599ms);
    main.runUntilIdle();
    EXPECT_EQ(p.state().idLine, "Скопировано");
    clock.advance(1ms);
    ASSERT_TRUE(main.runUntil([&] { return p.state().idLine == "Ваш ID: 0042"; }));
    EXPECT_EQ(p.state().idColor, P::text);
}

TEST_F(MacMenuSheetPresenterTest, TheFirstResetClearsTheConfirmationEvenAfterASecondCopy) {
    status({{"app_id", 42}, {"referral", {{"link", "tg://ref42"}}}});
    auto& p = make();
    p.referralClicked();
    EXPECT_EQ(pasteboard->string(), "tg://ref42");
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(1000ms);
    p.referralClicked();
    ASSERT_TRUE(clock.waitForSleepers(2));
    EXPECT_EQ(p.state().referralText, "Ссылка скопирована");
    clock.advance(600ms);
    ASSERT_TRUE(main.runUntil([&] { return p.state().referralText == "Ссылка для приглашения"; }));
}

TEST_F(MacMenuSheetPresenterTest, NoUsableReferralIsDimmedAndCopiesNothing) {
    status({{"state", "expired"}, {"referral", {{"link", ""}}}});
    auto& p = make();
    EXPECT_TRUE(p.state().showsReferral);
    EXPECT_FALSE(p.state().referralEnabled);
    EXPECT_EQ(p.state().referralTint, (PaletteTint{P::textSecondary, 0.4}));
    p.referralClicked();
    EXPECT_EQ(pasteboard->string(), "earlier");

}

TEST_F(MacMenuSheetPresenterTest, WithoutAReferralBlockTheSectionIsGoneWhateverTheNumber) {
    status({{"app_id", 42}, {"state", "paid_autopay"}});
    EXPECT_FALSE(make().state().showsReferral);
}

TEST_F(MacMenuSheetPresenterTest, RowsAndLinksGoThroughTheHostAndTheOpener) {
    auto& p = make();
    p.plansClicked();
    p.devicesClicked();
    p.doneClicked();
    p.privacyClicked();
    p.termsClicked();
    p.supportClicked();
    EXPECT_EQ(events, (std::vector<std::string>{"plans", "devices", "close"}));
    EXPECT_EQ(opened, (std::vector<std::string>{links.privacy, links.terms, links.support}));
}

TEST_F(MacMenuSheetPresenterTest, EachOpeningChecksOnceAndTheSameBuildIsUpToDate) {
    plane.serveFile("/dl/latest.json", R"({"mac":{"build":5,"version":"1.0"}})");
    auto& p = make();
    EXPECT_EQ(p.state().update.text, "Проверить обновления");
    p.appear();
    EXPECT_EQ(p.state().update.text, "Проверяем…");
    EXPECT_FALSE(p.state().update.enabled);
    ASSERT_TRUE(main.runUntil([&] { return !p.checkingUpdate(); }));
    EXPECT_EQ(p.state().update, (UpdateControl{"У вас последняя актуальная версия", P::textSecondary, false, true}));
    EXPECT_EQ(p.state().installedVersion, "1.0 (5)");
    p.disappear();
    p.appear();  // shown again while open: the answer is kept
    main.runUntilIdle();
    EXPECT_EQ(plane.requestCount(), 1u);

    make().appear();  // a new opening asks again
    ASSERT_TRUE(main.runUntil([&] { return plane.requestCount() == 2 && !presenter->checkingUpdate(); }));
}

TEST_F(MacMenuSheetPresenterTest, ANewerBuildIsOfferedAndInstalledWithProgressInWholePercents) {
    offerRelease();
    auto& p = make();
    p.appear();
    ASSERT_TRUE(main.runUntil([&] { return p.latest().has_value(); }));
    EXPECT_EQ(p.state().update, (UpdateControl{"Обновите приложение до 2.0 (6)", P::background, true, true}));
    EXPECT_TRUE(p.state().versionHighlighted);

    p.updateClicked();
    const auto labels = labelsUntil([&] { return terminations > 0; });
    ASSERT_GE(labels.size(), 4u);
    EXPECT_EQ(labels.front(), "Обновите приложение до 2.0 (6)");
    EXPECT_EQ(std::vector<std::string>(labels.end() - 2, labels.end()),
              (std::vector<std::string>{"Проверяем подпись…", "Устанавливаем…"}));
    // Between them only the download, each whole percent at most once and rising.
    int last = -1;
    for (auto it = labels.begin() + 1; it != labels.end() - 2; ++it) {
        if (*it == "Скачиваем…") continue;
        ASSERT_TRUE(it->starts_with("Скачиваем… ") && it->ends_with("%")) << *it;
        const int percent = std::stoi(it->substr(std::string("Скачиваем… ").size()));
        EXPECT_GT(percent, last);
        EXPECT_LE(percent, 100);
        last = percent;
    }
    EXPECT_EQ(last, 100);
}

TEST_F(MacMenuSheetPresenterTest, ClosingTheSheetDuringAnInstallationLetsItRunOn) {
    offerRelease();
    auto& p = make();
    p.appear();
    ASSERT_TRUE(main.runUntil([&] { return p.latest().has_value(); }));
    p.updateClicked();
    ASSERT_TRUE(main.runUntil([&] { return p.updater().phase->kind == Phase::Kind::downloading; }));
    presenter.reset();
    ASSERT_EQ(kept.size(), 1u);
    ASSERT_TRUE(main.runUntil([&] { return terminations > 0; }));  // the new build takes over
    EXPECT_EQ(kept[0]->phase->kind, Phase::Kind::installing);

    make().appear();  // a sheet closed while idle hands nothing over
    presenter.reset();
    EXPECT_EQ(kept.size(), 1u);
}

TEST_F(MacMenuSheetPresenterTest, AFailedInstallationShowsItsTextAndTheNextClickOpensTheAddress) {
    offerRelease(true);
    auto& p = make();
    p.appear();
    ASSERT_TRUE(main.runUntil([&] { return p.latest().has_value(); }));
    p.updateClicked();
    ASSERT_TRUE(main.runUntil([&] { return p.updater().phase->kind == Phase::Kind::failed; }));
    EXPECT_EQ(p.state().update, (UpdateControl{std::string(MacUpdater::cannotOpenText) + " · Скачать вручную",
                                               P::danger, true, true}));
    p.updateClicked();
    EXPECT_EQ(opened, std::vector<std::string>{plane.baseURL() + "/dl/Kavri-6.dmg"});
    EXPECT_EQ(p.updater().phase->kind, Phase::Kind::failed);
}

}  // namespace
}  // namespace kavri
