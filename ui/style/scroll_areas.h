#pragma once

class QScrollArea;
class QWidget;

namespace kavri {

// A vertical scroll area on the views' background: no frame, no
// horizontal scrolling, the overlay indicator below.
QScrollArea* verticalScrollArea(QWidget* content, QWidget* parent);

// Gives `area` a thin light indicator that lies over the right edge of its
// content while the content is taller than the area, in place of a scroll
// bar that takes layout width: the content keeps the area's full width, so
// a centred column stays centred. Wheel, keys and ensureWidgetVisible()
// scroll as before; the indicator can be dragged.
void overlayScrollIndicator(QScrollArea* area);

}  // namespace kavri
