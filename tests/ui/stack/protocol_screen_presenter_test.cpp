#include "ui/main/stack/protocol_screen_presenter.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

using Location = StackAPI::Catalog::Location;
using Proto = StackAPI::Catalog::Proto;
using Inputs = ProtocolScreenPresenter::Inputs;

Location berlin(std::vector<std::string> offered = {"reality", "hy2"}) {
    Location l;
    l.id = "de-ber";
    l.title = "Берлин";
    l.countryCode = "de";
    l.protocols = std::move(offered);
    return l;
}

std::vector<Proto> catalogProtocols() {
    return {{"reality", "Reality", std::string("Обычно подходит"), std::string("РЕКОМЕНДУЕМ")},
            {"hy2", "Hysteria 2", std::string("Для плохих сетей"), std::string("")},
            {"ws", "WebSocket", std::string(""), std::nullopt}};
}

TEST(ProtocolScreenTest, TheTitleShowsOurMeasurementElseAFreshEstimate) {
    const auto with = [](std::optional<std::int64_t> ping, std::optional<std::int64_t> rtt,
                         std::optional<std::int64_t> age) {
        Inputs in{berlin(), {}, {}, ping};
        in.location.rttMs = rtt;
        in.location.rttAgeSec = age;
        return ProtocolScreenPresenter::titleText(in);
    };
    EXPECT_EQ(with(42, 30, 10), "Берлин · 42 мс");
    EXPECT_EQ(with(0, std::nullopt, std::nullopt), "Берлин · 0 мс");
    EXPECT_EQ(with(std::nullopt, 42, 900), "Берлин · ~42 мс");
    EXPECT_EQ(with(std::nullopt, 42, std::nullopt), "Берлин · ~42 мс");
    EXPECT_EQ(with(std::nullopt, 42, 901), "Берлин");
    EXPECT_EQ(with(std::nullopt, 0, 1), "Берлин");
    EXPECT_EQ(with(std::nullopt, std::nullopt, std::nullopt), "Берлин");
}

TEST(ProtocolScreenTest, TheChosenProtocolAndTheButtonFollowWhatTheLocationOffers) {
    const struct {
        const char* name;
        std::vector<std::string> offered;
        std::vector<Proto> protocols;
        std::optional<std::string> selected, picked;
        std::optional<bool> online;
        std::string chosen, button;
        bool enabled;
    } rows[] = {
        {"the first offered", {"hy2"}, catalogProtocols(), {}, {}, {}, "hy2", "Подключиться", true},
        {"selected kept", {"reality", "hy2"}, catalogProtocols(), "hy2", {}, true, "hy2", "Подключиться", true},
        {"pick wins", {"reality", "hy2"}, catalogProtocols(), "hy2", "reality", {}, "reality", "Подключиться", true},
        {"selected not offered", {"reality"}, catalogProtocols(), "ws", {}, {}, "ws", "Этого протокола здесь нет", false},
        {"nothing offered", {}, catalogProtocols(), {}, {}, {}, "reality", "Этого протокола здесь нет", false},
        {"no protocols at all", {}, {}, {}, {}, {}, "reality", "Этого протокола здесь нет", false},
        {"no protocols, offered", {"reality"}, {}, {}, {}, {}, "reality", "Подключиться", true},
        {"offline", {"reality"}, catalogProtocols(), {}, {}, false, "reality", "Локация не в сети", false},
    };
    for (const auto& row : rows) {
        Inputs in{berlin(row.offered), row.protocols, row.selected, {}};
        in.location.online = row.online;
        const auto s = ProtocolScreenPresenter::stateOf(in, row.picked, false);
        EXPECT_EQ(s.chosenProtocol, row.chosen) << row.name;
        EXPECT_EQ(s.buttonText, row.button) << row.name;
        EXPECT_EQ(s.connectEnabled, row.enabled) << row.name;
        EXPECT_EQ(s.buttonBlackText, row.enabled) << row.name;
        EXPECT_EQ(s.buttonFill, row.enabled ? PaletteColor::accent : PaletteColor::card) << row.name;
    }
}

TEST(ProtocolScreenTest, RowsAreGreyedWhereNotOfferedWithBadgesLinesAndDividers) {
    const auto s = ProtocolScreenPresenter::stateOf({berlin({"reality"}), catalogProtocols(), "hy2", {}}, {}, false);
    ASSERT_EQ(s.rows.size(), 3u);
    const auto& reality = s.rows[0];
    EXPECT_EQ(reality.titleColor, PaletteColor::text);
    EXPECT_EQ(reality.badge, "РЕКОМЕНДУЕМ");
    EXPECT_EQ(reality.secondLine, "Обычно подходит");
    EXPECT_FALSE(reality.chosen);
    EXPECT_TRUE(reality.dividerAfter);
    const auto& hy2 = s.rows[1];  // chosen, yet not offered here: a muted mark
    EXPECT_TRUE(hy2.chosen);
    EXPECT_EQ(hy2.markColor, PaletteColor::muted);
    EXPECT_EQ(hy2.titleColor, PaletteColor::muted);
    EXPECT_EQ(hy2.badge, std::nullopt);  // empty badge text
    EXPECT_EQ(hy2.secondLine, "Нет на этой локации");
    const auto& ws = s.rows[2];
    EXPECT_EQ(ws.secondLine, std::nullopt);  // an empty subtitle: no line, offered or not
    EXPECT_FALSE(ws.dividerAfter);

    const auto picked = ProtocolScreenPresenter::stateOf({berlin({"reality"}), catalogProtocols(), "hy2", {}},
                                                         std::string("reality"), false);
    EXPECT_EQ(picked.rows[0].markColor, PaletteColor::accent);

    // Two entries sharing the last key: neither gets a divider.
    auto twins = catalogProtocols();
    twins[0].key = "ws";
    const auto t = ProtocolScreenPresenter::stateOf({berlin(), twins, {}, {}}, {}, false);
    EXPECT_FALSE(t.rows[0].dividerAfter);
    EXPECT_TRUE(t.rows[1].dividerAfter);
    EXPECT_FALSE(t.rows[2].dividerAfter);
}

TEST(ProtocolScreenTest, TapsReportPicksAndConnectHandsOverTheChosenKey) {
    std::vector<std::string> picks, connects;
    Inputs in{berlin({"reality"}), catalogProtocols(), "reality", {}};
    in.location.online = false;
    ProtocolScreenPresenter p(in, [&](const std::string& k) { picks.push_back(k); },
                              [&](const std::string& k) { connects.push_back(k); });
    p.rowTapped("hy2");  // offline: rows still report picks
    EXPECT_EQ(picks, std::vector<std::string>{"hy2"});
    EXPECT_EQ(p.state().chosenProtocol, "hy2");
    p.connectPressed();  // disabled
    EXPECT_TRUE(connects.empty());

    in.location.online = std::nullopt;  // absent counts as online
    p.setInputs(in);
    EXPECT_EQ(p.state().chosenProtocol, "hy2");  // the pick stays
    EXPECT_FALSE(p.state().connectEnabled);
    p.rowTapped("reality");
    p.connectPressed();
    EXPECT_EQ(connects, std::vector<std::string>{"reality"});

    p.infoPressed();
    EXPECT_TRUE(p.state().showInfo);
    p.infoClosed();
    EXPECT_FALSE(p.state().showInfo);
}

}  // namespace
}  // namespace kavri
