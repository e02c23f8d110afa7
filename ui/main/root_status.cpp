#include "ui/main/root_status.h"

namespace kavri {

RootStatus RootStatus::of(bool blocked, bool toggling, const VPNManager::Status& status) {
    using Kind = VPNManager::Status::Kind;
    if (blocked) return {"Отключено", PaletteColor::neutral};
    if (toggling) return {"Подключаемся...", PaletteColor::warning};
    switch (status.kind) {
        case Kind::disconnected: return {"Готов к подключению", PaletteColor::neutral};
        case Kind::connecting: return {"Подключаемся...", PaletteColor::warning};
        case Kind::connected: return {"Подключено", PaletteColor::success};
        case Kind::reasserting: return {"Переподключаемся...", PaletteColor::warning};
        case Kind::disconnecting: return {"Отключаемся...", PaletteColor::neutral};
        case Kind::invalid: return {"Модуль ещё не разрешён", PaletteColor::neutral};
        case Kind::failed: return {status.failure, PaletteColor::danger};
    }
    return {"Готов к подключению", PaletteColor::neutral};
}

}  // namespace kavri
