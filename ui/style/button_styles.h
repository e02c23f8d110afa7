#pragma once

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRectF>
#include <QString>

namespace kavri {

// How a button's label looks while it is pressed, and how fast it gets
// there and back (ease-out). The styles look at the pressed flag only,
// never at whether the button is enabled.
struct PressFeedback {
    double scale = 1;
    double opacity = 1;
    int durationMs = 120;

    bool operator==(const PressFeedback&) const = default;
};

// The logo button and the banners' action buttons.
struct LogoPressStyle {
    static constexpr PressFeedback feedback{0.94, 0.85, 120};
};

// The connect button: full width, 60.8 high, its two colours chosen by the
// connection state, in a rounded rectangle; pressed, it only fades.
struct MacConnectButtonStyle {
    static constexpr PressFeedback feedback{1, 0.85, 120};
    static constexpr double fontSize = 16.15;
    static constexpr double height = 60.8;
    static constexpr double cornerRadius = 13.3;

    QColor background;
    QColor foreground;

    static QFont font();
    // The filled shape; the label is drawn by the caller in `foreground`.
    void paintBackground(QPainter& painter, const QRectF& rect) const;
};

// The setup guide's buttons: a black label on an accent capsule with its glow.
struct MacPrimaryButtonStyle {
    static constexpr PressFeedback feedback{0.97, 1, 120};
    static constexpr double fontSize = 15;
    static constexpr double paddingX = 26;
    static constexpr double paddingY = 13;
    static constexpr double shadowOpacity = 0.35;
    static constexpr double shadowRadius = 14;

    static QFont font();
};

// The stack card.
struct StackPressStyle {
    static constexpr PressFeedback feedback{0.97, 1, 100};
};

}  // namespace kavri
