#pragma once

#include <QPainterPath>
#include <QRectF>

namespace kavri {

// A rectangle whose two top corners are rounded by quadratic curves (not
// circular arcs); the radius is not limited to half the width or height.
struct TopRoundedRectangle {
    double radius;

    QPainterPath path(const QRectF& rect) const;
};

}  // namespace kavri
