#pragma once

class QScrollArea;
class QWidget;

namespace kavri {

// A vertical scroll area on the views' background: no frame, no
// horizontal scrolling, a thin light indicator shown while the content is
// taller than the area.
QScrollArea* verticalScrollArea(QWidget* content, QWidget* parent);

}  // namespace kavri
