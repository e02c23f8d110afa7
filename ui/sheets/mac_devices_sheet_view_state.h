#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/qrcode/qr_code_generator.h"
#include "ui/style/palette_color.h"

namespace kavri {

// Everything the devices sheet draws.
struct MacDevicesSheetViewState {
    // The account block under the device list, chosen by role and state.
    enum class Section {
        share,   // an owner with a paid or granted subscription shows a code
        join,    // an owner without one enters a code
        member,  // a device on someone else's subscription unlinks itself
    };

    // One other device of the subscription.
    struct Row {
        std::string id;
        std::string title;
        std::string subtitle;
        bool removable = false;       // not removed yet: "Удалить" is offered
        bool separatorBelow = false;  // every row but the last

        bool operator==(const Row&) const = default;
    };

    // The device list, for owners only.
    bool showsDevices = false;
    std::string usageText;
    std::vector<Row> rows;

    Section section = Section::join;

    // Share: the button until a code came, then the code and its picture.
    std::string shareLabel = "Показать код";
    bool shareEnabled = true;
    std::optional<std::string> code;
    std::optional<GrayImage> qr;  // of the code's link; none when it could not be made

    // Join.
    std::string joinExplanation;
    std::string entered;
    std::string confirmLabel = "Подтвердить";
    bool confirmEnabled = false;
    double confirmOpacity = 0.35;  // of the accent behind the label

    // Member.
    std::string unlinkLabel = "Отвязать подписку";
    bool unlinkEnabled = true;

    // The line that ends the account block.
    std::optional<std::string> message;
    PaletteColor messageColor = PaletteColor::success;

    bool operator==(const MacDevicesSheetViewState&) const = default;
};

}  // namespace kavri
