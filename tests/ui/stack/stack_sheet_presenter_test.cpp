#include "ui/main/stack/stack_sheet_presenter.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "app/runtime/manual_executor.h"
#include "core/deployment.h"
#include "platform/runtime/fake_clock.h"
#include "testing/test_control_plane.h"
#include "tests/support/temp_dir.h"
#include "ui/main/stack/flag_emoji.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using Reply = TestControlPlane::Reply;
using Content = StackSheetState::Content;
using Trailing = StackSheetState::LocationRow::Trailing;
using Location = StackAPI::Catalog::Location;

// --- rules as tables ---

TEST(StackSheetRulesTest, LatencyTextIsAMeasurementOrAFreshEstimateElseADash) {
    const struct {
        const char* name;
        std::optional<std::int64_t> measured, rttMs, rttAgeSec;
        std::string text;
        PaletteColor color;
    } rows[] = {
        {"measurement", 42, 300, 5, "42 мс", PaletteColor::success},
        {"measurement of 0", 0, {}, {}, "0 мс", PaletteColor::success},
        {"fresh estimate", {}, 42, 900, "~42 мс", PaletteColor::success},
        {"estimate without age", {}, 42, {}, "~42 мс", PaletteColor::success},
        {"estimate too old", {}, 42, 901, "—", PaletteColor::textSecondary},
        {"rttMs 0", {}, 0, 1, "—", PaletteColor::textSecondary},
        {"rttMs negative", {}, -5, {}, "—", PaletteColor::textSecondary},
        {"nothing", {}, {}, {}, "—", PaletteColor::textSecondary},
        {"79 ms", 79, {}, {}, "79 мс", PaletteColor::success},
        {"80 ms", {}, 80, {}, "~80 мс", PaletteColor::accent},
        {"200 ms", 200, {}, {}, "200 мс", PaletteColor::accent},
        {"201 ms", {}, 201, 0, "~201 мс", PaletteColor::textSecondary},
    };
    for (const auto& row : rows) {
        Location l;
        l.rttMs = row.rttMs;
        l.rttAgeSec = row.rttAgeSec;
        const auto latency = LocationLatency::of(l, row.measured);
        EXPECT_EQ(latency.text, row.text) << row.name;
        EXPECT_EQ(latency.color, row.color) << row.name;
    }
}

TEST(StackSheetRulesTest, TheLoopWaitsLongerAfterEachFailureUntilOneSucceeds) {
    int i = 0;
    std::vector<int> pauses;
    for (bool ok : {false, false, false, false, false, false, false, true, false, true}) {
        i = StackSheetPresenter::nextIndex(i, ok);
        pauses.push_back(StackSheetPresenter::delaysSeconds[std::size_t(i)]);
    }
    EXPECT_EQ(pauses, (std::vector<int>{1, 2, 4, 8, 15, 15, 15, 15, 15, 15}));
}

// --- the sheet with a real catalog store against the test control plane ---

// The fake clock, with every pause asked of it written down.
class PauseLog final : public Clock {
public:
    explicit PauseLog(FakeClock& clock) : clock_(clock) {}
    WallTime wallNow() const override { return clock_.wallNow(); }
    MonoTime monoNow() const override { return clock_.monoNow(); }
    bool sleepFor(Duration d, std::stop_token stop) override {
        {
            std::lock_guard lock(mutex_);
            pauses_.push_back(std::chrono::duration_cast<std::chrono::seconds>(d).count());
        }
        return clock_.sleepFor(d, std::move(stop));
    }
    std::vector<std::int64_t> pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }

private:
    FakeClock& clock_;
    mutable std::mutex mutex_;
    std::vector<std::int64_t> pauses_;
};

json location(const std::string& id, json extra = json::object()) {
    json l = {{"id", id}, {"title", id}, {"country_code", id}, {"protocols", {"reality", "hy2"}}};
    l.update(extra);
    return l;
}

json catalog(bool manual = true) {
    return {{"manual_allowed", manual},
            {"auto", {{"title", "Автоматически"}, {"subtitle", "Лучшая по скорости"}}},
            {"locations",
             {location("de", {{"rtt_ms", 42}, {"rtt_age_sec", 900}}), location("nl", {{"online", false}}),
              location("fi", {{"rtt_ms", 42}, {"rtt_age_sec", 901}})}},
            {"protocols",
             {{{"key", "reality"}, {"title", "Reality"}}, {{"key", "hy2"}, {"title", "Hysteria 2"}}}}};
}

class StackSheetPresenterTest : public ::testing::Test {
protected:
    StackSheetPresenterTest() {
        Deployment::install(TestControlPlane::deploymentFor({&plane}));
        holder = std::make_unique<CatalogHolder>(
            main, StackAPI(StackAPI::session(), store, clock),
            [this](const std::string& event, std::int64_t, const json& extra) {
                json e = {{"event", event}};
                e.update(extra);
                events.push_back(e);
            },
            clock);
    }
    ~StackSheetPresenterTest() override {
        presenter.reset();
        pinger.reset();
        holder.reset();
        Deployment::install(saved);
    }

    StackSheetPresenter& make(std::optional<std::string> selectedLocation = std::nullopt,
                              std::optional<std::string> selectedProtocol = std::nullopt) {
        presenter = std::make_unique<StackSheetPresenter>(
            main,
            StackSheetPresenter::Deps{
                *holder,
                [this](std::string why, std::function<void(bool)> done) {
                    return holder->refresh(token, std::move(why), 5, std::move(done));
                },
                std::move(selectedLocation),
                std::move(selectedProtocol),
                *pinger,
                [this](const std::optional<std::string>& l, const std::optional<std::string>& p) {
                    applied.push_back({l, p});
                },
                [this] { ++locked; },
                [this] { ++dismissed; },
                [this] { ++closed; },
                [this](const std::string& event, std::int64_t ms, const json& extra) {
                    EXPECT_TRUE(extra.is_null());
                    events.push_back({{"event", event}, {"ms", ms}});
                },
                pauses,
            });
        return *presenter;
    }

    // The why-strings of the fetches so far.
    std::vector<std::string> whys() const {
        std::vector<std::string> w;
        for (const auto& e : events)
            if (e["event"] == "catalog_fetch") w.push_back(e["why"]);
        return w;
    }
    int count(const std::string& event) const {
        return int(std::count_if(events.begin(), events.end(), [&](const json& e) { return e["event"] == event; }));
    }
    // Waits until `fetches` fetches were reported and the loop sleeps again.
    void settle(std::size_t fetches) {
        ASSERT_TRUE(main.runUntil([&] { return whys().size() == fetches && clock.sleepers() == 1; }, 60s))
            << whys().size() << " fetches";
        main.runUntilIdle();
    }

    const Deployment saved = Deployment::current();
    const std::string token = "tok-7";
    ManualExecutor main;
    FakeClock clock{Clock::WallTime(std::chrono::sys_days(std::chrono::year(2026) / 6 / 15))};
    PauseLog pauses{clock};
    TestControlPlane plane;
    test::TempDir dir;
    KavriStore store{dir.path()};
    std::vector<json> events;
    std::unique_ptr<CatalogHolder> holder;
    std::unique_ptr<StackPinger> pinger = std::make_unique<StackPinger>(main, clock);
    std::unique_ptr<StackSheetPresenter> presenter;
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> applied;
    int locked = 0, dismissed = 0, closed = 0;
};

TEST_F(StackSheetPresenterTest, TheLoadLoopBacksOffUntilTheListComesThenRefreshesEveryFifteenSeconds) {
    auto& p = make();
    EXPECT_EQ(p.state().content, Content::loading);
    p.appear();
    settle(1);  // the first attempt goes out at once and fails: nothing to show
    EXPECT_EQ(p.state().content, Content::failed);
    std::size_t fetches = 1;
    for (int pause : {1, 2, 4, 8, 15}) {
        clock.advance(std::chrono::seconds(pause));
        settle(++fetches);
        EXPECT_EQ(p.state().content, Content::failed);
    }
    plane.setCatalog(token, catalog().dump());
    clock.advance(15s);
    settle(7);
    EXPECT_EQ(p.state().content, Content::list);
    ASSERT_EQ(count("sheet_ready"), 1);
    const auto ready = *std::find_if(events.begin(), events.end(), [](const json& e) { return e["event"] == "sheet_ready"; });
    EXPECT_EQ(ready["ms"], (1 + 2 + 4 + 8 + 15 + 15) * 1000);

    // After a success a failure waits 15 s too, and the list stays.
    plane.script(Reply::withStatus(503), "/stack/.*");
    clock.advance(15s);
    settle(8);
    EXPECT_EQ(p.state().content, Content::list);
    clock.advance(15s);
    settle(9);
    EXPECT_EQ(count("sheet_ready"), 1);
    EXPECT_EQ(pauses.pauses(), (std::vector<std::int64_t>{1, 2, 4, 8, 15, 15, 15, 15, 15}));
    EXPECT_EQ(whys(), (std::vector<std::string>{"sheet_open", "sheet_retry", "sheet_retry", "sheet_retry",
                                                "sheet_retry", "sheet_retry", "sheet_retry", "sheet_retry",
                                                "sheet_retry"}));

    p.disappear();  // the loop ends with the sheet, without another fetch
    ASSERT_TRUE(main.runUntil([&] { return clock.sleepers() == 0; }, 10s));
    EXPECT_EQ(whys().size(), 9u);
}

TEST_F(StackSheetPresenterTest, AManualRetryShowsLoadingUntilItEndsAndLeavesTheLoopsScheduleAlone) {
    auto& p = make();
    p.appear();
    settle(1);
    ASSERT_EQ(p.state().content, Content::failed);

    p.retryClicked();
    EXPECT_EQ(p.state().content, Content::loading);
    ASSERT_TRUE(main.runUntil([&] { return p.state().content == Content::failed; }, 60s));
    EXPECT_EQ(whys().size(), 2u);

    plane.setCatalog(token, catalog().dump());
    p.retryClicked();
    ASSERT_TRUE(main.runUntil([&] { return p.state().content == Content::list; }, 60s));
    EXPECT_EQ(whys(), (std::vector<std::string>{"sheet_open", "sheet_manual_retry", "sheet_manual_retry"}));
    EXPECT_EQ(count("sheet_ready"), 0);  // only the loop reports it
    EXPECT_EQ(pauses.pauses(), std::vector<std::int64_t>{1});  // the loop still waits its first second
    clock.advance(1s);
    settle(4);
    EXPECT_EQ(whys().back(), "sheet_retry");
    EXPECT_EQ(count("sheet_ready"), 1);
}

// Closing the sheet ends the loop, not the refresh under way: its result
// still counts, and "sheet_ready" goes out after the sheet has gone.
TEST_F(StackSheetPresenterTest, ARefreshUnderWayWhenTheSheetClosesIsStillReportedReady) {
    std::promise<void> answer;
    auto answered = answer.get_future().share();
    plane.route("GET", "/stack/[^/]+", [&](const TestControlPlane::Request&) {
        answered.wait();
        return Reply::json(catalog().dump());
    });
    auto& p = make();
    p.appear();
    ASSERT_TRUE(main.runUntil([&] { return plane.requestCount() == 1; }, 60s));
    p.disappear();
    presenter.reset();
    clock.advance(3s);
    answer.set_value();
    ASSERT_TRUE(main.runUntil([&] { return count("sheet_ready") == 1; }, 60s));
    for (const auto& e : events) {
        if (e["event"] == "sheet_ready") {
            EXPECT_EQ(e["ms"], 3000);
        }
    }
    EXPECT_EQ(whys(), std::vector<std::string>{"sheet_open"});
}

TEST_F(StackSheetPresenterTest, ACatalogAtOpenIsListedAtOnceAndNeverReportedReady) {
    plane.setCatalog(token, catalog().dump());
    holder->catalog = StackAPI::Catalog::fromJson(catalog());
    auto& p = make("de", "hy2");
    EXPECT_EQ(p.state().content, Content::list);
    p.appear();
    settle(1);
    EXPECT_EQ(whys(), std::vector<std::string>{"sheet_open"});
    clock.advance(15s);
    settle(2);
    EXPECT_EQ(count("sheet_ready"), 0);
}

TEST_F(StackSheetPresenterTest, RowsShowLatencyOfflinePillsAndTheCurrentChoice) {
    holder->catalog = StackAPI::Catalog::fromJson(catalog());
    pinger->results = {{"de", 120}, {"fi", 30}};  // only the current row shows its measurement
    auto& p = make("de");
    const auto& s = p.state();
    EXPECT_FALSE(s.autoRow.current);
    EXPECT_EQ(s.autoRow.subtitle, "Лучшая по скорости");
    ASSERT_EQ(s.rows.size(), 3u);
    const auto& de = s.rows[0];
    EXPECT_TRUE(de.current);
    EXPECT_EQ(de.flag, flagEmoji("DE"));
    EXPECT_EQ(de.latency->text, "120 мс");
    EXPECT_EQ(de.latency->color, PaletteColor::accent);
    EXPECT_EQ(de.trailing, Trailing::chevron);
    const auto& nl = s.rows[1];  // offline: the pill, no latency, no chevron, muted
    EXPECT_TRUE(nl.offlinePill);
    EXPECT_EQ(nl.latency, std::nullopt);
    EXPECT_EQ(nl.trailing, Trailing::none);
    EXPECT_EQ(nl.titleColor, PaletteColor::muted);
    EXPECT_EQ(s.rows[2].latency->text, "—");  // its estimate is too old; the measurement is not its row's

    pinger->results = {};
    EXPECT_EQ(p.state().rows[0].latency->text, "~42 мс");  // without a measurement, the estimate

    // An offline location still opens when the plan allows it.
    p.locationClicked("nl");
    ASSERT_TRUE(p.state().protocolScreen);
    EXPECT_EQ(p.state().protocolScreen->buttonText, "Локация не в сети");
}

TEST_F(StackSheetPresenterTest, WhenThePlanAllowsNoChoiceEveryRowTellsOnLocked) {
    holder->catalog = StackAPI::Catalog::fromJson(catalog(false));
    auto& p = make("zz");  // a location the catalog does not have: nothing is marked
    const auto& s = p.state();
    EXPECT_FALSE(s.autoRow.current);
    for (const auto& row : s.rows) {
        EXPECT_FALSE(row.current);
        EXPECT_EQ(row.trailing, Trailing::lock);
        EXPECT_EQ(row.titleColor, PaletteColor::muted);
        EXPECT_EQ(row.latency, std::nullopt);
    }
    EXPECT_TRUE(s.rows[1].offlinePill);
    p.autoRowClicked();
    p.locationClicked("de");
    p.locationClicked("nl");
    EXPECT_EQ(locked, 3);
    EXPECT_FALSE(p.state().protocolScreen);
    EXPECT_TRUE(applied.empty());
    EXPECT_EQ(dismissed + closed, 0);  // the sheet stays; the root view closes it
}

TEST_F(StackSheetPresenterTest, AProtocolChosenOnALocationHandsOverItsIdAndKeyAndCloses) {
    holder->catalog = StackAPI::Catalog::fromJson(catalog());
    pinger->results = {{"fi", 77}};
    auto& p = make(std::nullopt, "reality");
    EXPECT_TRUE(p.state().autoRow.current);

    p.locationClicked("fi");
    ASSERT_TRUE(p.protocolScreen());
    EXPECT_EQ(p.state().protocolScreen->titleText, "fi · 77 мс");  // the prober's figure, not the catalog's
    EXPECT_EQ(p.state().protocolScreen->chosenProtocol, "reality");
    p.protocolScreen()->rowTapped("hy2");
    EXPECT_EQ(p.state().protocolScreen->chosenProtocol, "hy2");
    p.backClicked();
    EXPECT_FALSE(p.state().protocolScreen);

    p.locationClicked("de");  // another location starts from the sheet's choice
    EXPECT_EQ(p.state().protocolScreen->chosenProtocol, "reality");
    p.backClicked();
    p.locationClicked("fi");  // the pick made here is kept
    EXPECT_EQ(p.state().protocolScreen->chosenProtocol, "hy2");
    pinger->results = {{"fi", 64}};
    EXPECT_EQ(p.state().protocolScreen->titleText, "fi · 64 мс");
    EXPECT_EQ(p.state().protocolScreen->chosenProtocol, "hy2");

    p.protocolScreen()->connectPressed();
    EXPECT_EQ(closed, 0);  // just after, from the main thread's queue
    main.runUntilIdle();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].first, "fi");
    EXPECT_EQ(applied[0].second, "hy2");
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(dismissed, 0);  // onDismiss is given: the environment's dismiss is not used
}

TEST_F(StackSheetPresenterTest, TheAutomaticRowAppliesNoChoiceAndClosesWithTheDismissActionWhenAlone) {
    holder->catalog = StackAPI::Catalog::fromJson(catalog());
    presenter = std::make_unique<StackSheetPresenter>(
        main, StackSheetPresenter::Deps{*holder, nullptr, std::string("de"), std::nullopt, *pinger,
                                        [this](const auto& l, const auto& p) { applied.push_back({l, p}); },
                                        nullptr, [this] { ++dismissed; }, nullptr, nullptr, clock});
    presenter->autoRowClicked();
    main.runUntilIdle();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].first, std::nullopt);
    EXPECT_EQ(applied[0].second, std::nullopt);
    EXPECT_EQ(dismissed, 1);
    presenter->closeClicked();
    main.runUntilIdle();
    EXPECT_EQ(dismissed, 2);
}

}  // namespace
}  // namespace kavri
