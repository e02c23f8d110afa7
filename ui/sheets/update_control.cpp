#include "ui/sheets/update_control.h"

#include <cmath>

namespace kavri {

using Kind = MacUpdater::Phase::Kind;

bool UpdateControl::hasNewer(const std::optional<AppUpdateInfo>& latest, std::int64_t currentBuild) {
    return latest && currentBuild < latest->build;
}

std::string UpdateControl::downloadingText(double fraction) {
    if (!(fraction > 0)) return "Скачиваем…";  // NaN too
    // Whole percents, cut toward zero; what lies beyond the end shows as the end.
    const double percent = std::min(std::trunc(fraction * 100), 100.0);
    return "Скачиваем… " + std::to_string(static_cast<int>(percent)) + "%";
}

UpdateControl UpdateControl::of(const Inputs& in) {
    UpdateControl c;
    c.filled = hasNewer(in.latest, in.currentBuild);
    c.enabled = !in.checking && (in.phase.kind == Kind::idle || in.phase.kind == Kind::failed);
    switch (in.phase.kind) {
        case Kind::downloading:
            c.text = downloadingText(in.phase.fraction);
            c.color = PaletteColor::background;
            return c;
        case Kind::verifying:
            c.text = "Проверяем подпись…";
            c.color = PaletteColor::background;
            return c;
        case Kind::installing:
            c.text = "Устанавливаем…";
            c.color = PaletteColor::background;
            return c;
        case Kind::failed:
            c.text = in.phase.text + " · Скачать вручную";
            c.color = PaletteColor::danger;
            return c;
        case Kind::idle: break;
    }
    if (in.checking) {
        c.text = "Проверяем…";
        c.color = PaletteColor::textSecondary;
    } else if (c.filled) {
        c.text = "Обновите приложение до " + in.latest->version + " (" + std::to_string(in.latest->build) + ")";
        c.color = PaletteColor::background;
    } else if (in.latest) {
        c.text = "У вас последняя актуальная версия";
        c.color = PaletteColor::textSecondary;
    } else {
        c.text = "Проверить обновления";
        c.color = PaletteColor::accent;
    }
    return c;
}

UpdateControl::Action UpdateControl::onClick(const Inputs& in, std::optional<std::string>* address) {
    if (in.phase.kind == Kind::failed && in.latest) {
        if (auto url = in.latest->downloadURL()) {
            if (address) *address = std::move(url);
            return Action::openDownload;
        }
    }
    if (hasNewer(in.latest, in.currentBuild)) return Action::install;
    return Action::check;
}

}  // namespace kavri
