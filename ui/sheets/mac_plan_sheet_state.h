#pragma once

#include <string>
#include <vector>

#include "ui/style/palette_color.h"

namespace kavri {

// Everything the plan sheet draws.
struct MacPlanSheetState {
    struct Row {
        std::string key;
        std::string title;
        std::string subtitle;  // "на 30 дней · ..."
        std::string price;     // "390 ₽"
        bool pro = false;
        bool busy = false;     // the spinner in place of the price
        bool enabled = true;   // no purchase under way

        bool operator==(const Row&) const = default;
    };

    // The loading view while the store has no tariffs, else the list.
    bool loading = true;
    std::vector<Row> rows;

    bool operator==(const MacPlanSheetState&) const = default;
};

}  // namespace kavri
