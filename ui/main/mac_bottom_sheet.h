#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <functional>

#include "ui/main/sheet_drag.h"
#include "ui/style/animated_value.h"
#include "ui/style/spring.h"

namespace kavri {

// A panel that slides up from the bottom edge of its parent over a dimmed
// backdrop: a grabber, the content, rounded top corners and a shadow. It
// covers the whole parent; a tap on the backdrop or a drag down past its
// threshold closes it. The drag works anywhere on the panel, also over the
// content's own controls: they keep their clicks until the pointer has
// moved far enough to make a drag, and then let go of the press. The owner presents it and hears `dismissed` when it
// closes itself; the content is built each time it is presented and
// destroyed once it has left.
class MacBottomSheet : public QWidget {
    Q_OBJECT
public:
    using ContentBuilder = std::function<QWidget*(QWidget* parent)>;

    static constexpr double radius = 18;
    static constexpr double backdropOpacity = 0.5;
    static constexpr double grabberWidth = 38;
    static constexpr double grabberHeight = 5;
    static constexpr double grabberTop = 8;
    static constexpr double grabberBottom = 4;
    static constexpr double contentTop = grabberTop + grabberHeight + grabberBottom;
    static constexpr double shadowOpacity = 0.35;
    static constexpr double shadowRadius = 20;
    static constexpr double shadowY = -6;
    static constexpr Spring presentation{0.34, 0.86};
    static constexpr Spring springBack{0.3, 0.85};

    MacBottomSheet(double height, QWidget* parent);

    double panelHeight() const { return height_; }
    // The builder of the content, used from the next presentation on (at
    // once when presented now); none leaves the panel empty.
    void setContent(ContentBuilder build);
    QWidget* content() const { return content_; }

    // The owner's flag: true slides the panel in, false out.
    void setPresented(bool presented);
    bool isPresented() const { return presented_; }
    // Closes as the sheet's own gestures do: the drag offset back to 0, the
    // flag cleared, `dismissed` emitted.
    void dismiss();

    // The current drag distance (positive downward); the panel moves only
    // by its positive part.
    double dragOffset() const { return dragOffset_.value(); }
    // Where the panel is drawn now, in the sheet's coordinates.
    QRectF panelRect() const;

signals:
    void dismissed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void place();
    void left();
    void buildContent();
    // The drag over the panel and its content, seen before the widget under
    // the pointer; true when the drag takes the event.
    bool follow(QWidget* target, QMouseEvent* event);
    const QImage& shadow();

    double height_;
    bool presented_ = false;
    AnimatedValue shown_{0};       // 0 gone, 1 fully in
    AnimatedValue dragOffset_{0};
    SheetDrag drag_;
    bool backdropPress_ = false;
    QPointer<QWidget> pressed_;  // what took the press the drag began with
    bool letGo_ = false;         // while that widget is told to let go
    ContentBuilder build_;
    QPointer<QWidget> content_;
    QImage shadow_;
};

}  // namespace kavri
