#pragma once

#include <QScrollArea>

namespace kavri {

// The vertical scroll area of a sheet: no frame, see-through, `content`
// stretched to its full width, and the overlay indicator while it scrolls.
class SheetScrollArea : public QScrollArea {
    Q_OBJECT
public:
    SheetScrollArea(QWidget* content, QWidget* parent);
};

}  // namespace kavri
