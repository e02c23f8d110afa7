#include "ui/sheets/update_control.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kavri {
namespace {

using Phase = MacUpdater::Phase;
using Action = UpdateControl::Action;
using P = PaletteColor;

const AppUpdateInfo newer{61, "2.5", "https://dl.test/Kavri-61.dmg"};
const AppUpdateInfo same{57, "2.4.1", "https://dl.test/Kavri-57.dmg"};
const AppUpdateInfo newerNoAddress{61, "2.5", std::nullopt};

TEST(UpdateControlTest, LabelByPhaseThenCheckThenOfferFirstMatchWins) {
    const struct {
        UpdateControl::Inputs in;
        std::string text;
        P color;
        bool filled, enabled;
    } rows[] = {
        {{Phase::downloading(0.427), false, newer, 57}, "Скачиваем… 42%", P::background, true, false},
        {{Phase::downloading(1.0), false, newer, 57}, "Скачиваем… 100%", P::background, true, false},
        {{Phase::downloading(0.009), false, newer, 57}, "Скачиваем… 0%", P::background, true, false},
        {{Phase::downloading(0), false, newer, 57}, "Скачиваем…", P::background, true, false},
        {{Phase::downloading(-1), false, newer, 57}, "Скачиваем…", P::background, true, false},
        {{Phase::downloading(std::nan("")), false, newer, 57}, "Скачиваем…", P::background, true, false},
        {{Phase::downloading(std::numeric_limits<double>::infinity()), false, newer, 57}, "Скачиваем… 100%",
         P::background, true, false},
        {{Phase::verifying(), false, newer, 57}, "Проверяем подпись…", P::background, true, false},
        {{Phase::installing(), false, newer, 57}, "Устанавливаем…", P::background, true, false},
        {{Phase::failed("Подпись обновления повреждена"), false, newer, 57},
         "Подпись обновления повреждена · Скачать вручную", P::danger, true, true},
        {{Phase::failed(""), false, std::nullopt, 57}, " · Скачать вручную", P::danger, false, true},
        {{Phase::failed("x"), true, std::nullopt, 57}, "x · Скачать вручную", P::danger, false, false},
        {{Phase{}, true, newer, 57}, "Проверяем…", P::textSecondary, true, false},
        {{Phase{}, false, newer, 57}, "Обновите приложение до 2.5 (61)", P::background, true, true},
        {{Phase{}, false, same, 57}, "У вас последняя актуальная версия", P::textSecondary, false, true},
        {{Phase{}, false, same, 58}, "У вас последняя актуальная версия", P::textSecondary, false, true},
        {{Phase{}, false, std::nullopt, 57}, "Проверить обновления", P::accent, false, true},
    };
    for (const auto& row : rows) {
        const auto c = UpdateControl::of(row.in);
        EXPECT_EQ(c, (UpdateControl{row.text, row.color, row.filled, row.enabled})) << row.text;
    }
}

TEST(UpdateControlTest, AClickOpensTheAddressAfterAFailureElseInstallsTheNewerElseChecks) {
    const struct {
        UpdateControl::Inputs in;
        Action action;
        std::optional<std::string> address;
    } rows[] = {
        {{Phase::failed("x"), false, newer, 57}, Action::openDownload, "https://dl.test/Kavri-61.dmg"},
        {{Phase::failed("x"), false, same, 57}, Action::openDownload, "https://dl.test/Kavri-57.dmg"},
        {{Phase::failed("x"), false, newerNoAddress, 57}, Action::install, std::nullopt},
        {{Phase::failed("x"), false, std::nullopt, 57}, Action::check, std::nullopt},
        {{Phase{}, false, newer, 57}, Action::install, std::nullopt},
        {{Phase{}, false, same, 57}, Action::check, std::nullopt},
        {{Phase{}, false, std::nullopt, 57}, Action::check, std::nullopt},
    };
    for (const auto& row : rows) {
        std::optional<std::string> address;
        EXPECT_EQ(UpdateControl::onClick(row.in, &address), row.action);
        EXPECT_EQ(address, row.address);
    }
}

}  // namespace
}  // namespace kavri
