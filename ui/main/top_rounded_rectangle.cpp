#include "ui/main/top_rounded_rectangle.h"

namespace kavri {

QPainterPath TopRoundedRectangle::path(const QRectF& r) const {
    QPainterPath p;
    p.moveTo(r.left(), r.bottom());
    p.lineTo(r.left(), r.top() + radius);
    p.quadTo(r.left(), r.top(), r.left() + radius, r.top());
    p.lineTo(r.right() - radius, r.top());
    p.quadTo(r.right(), r.top(), r.right(), r.top() + radius);
    p.lineTo(r.right(), r.bottom());
    p.closeSubpath();
    return p;
}

}  // namespace kavri
