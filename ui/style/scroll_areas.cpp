#include "ui/style/scroll_areas.h"

#include <QEvent>
#include <QScrollArea>
#include <QScrollBar>

#include "ui/object_names.h"
#include "ui/style/palette.h"

namespace kavri {

namespace {

constexpr int indicatorWidth = 7;

// The indicator: a scroll bar of its own over the area's edge, kept in step
// with the area's hidden vertical bar, which still does the scrolling.
class ScrollIndicator final : public QScrollBar {
public:
    explicit ScrollIndicator(QScrollArea* area) : QScrollBar(Qt::Vertical, area), area_(area) {
        setObjectName(ObjectName::scrollIndicator);
        setStyleSheet(
            "QScrollBar:vertical { background: transparent; width: 7px; margin: 2px 1px 2px 0; }"
            "QScrollBar::handle:vertical { background: rgba(255, 255, 255, 64); border-radius: 3px;"
            " min-height: 24px; }"
            "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
            "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }");
        QScrollBar* model = area->verticalScrollBar();
        connect(model, &QScrollBar::rangeChanged, this, [this, model](int min, int max) {
            setRange(min, max);
            setPageStep(model->pageStep());
            setSingleStep(model->singleStep());
            setVisible(max > min);
        });
        connect(model, &QScrollBar::valueChanged, this, &QScrollBar::setValue);
        connect(this, &QScrollBar::valueChanged, model, &QScrollBar::setValue);
        setRange(model->minimum(), model->maximum());
        setPageStep(model->pageStep());
        setValue(model->value());
        setVisible(model->maximum() > model->minimum());
        area->installEventFilter(this);
        place();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == area_ && (event->type() == QEvent::Resize)) place();
        return QScrollBar::eventFilter(watched, event);
    }

private:
    // Along the area's right edge: the filter sees a resize before the
    // area has placed its viewport, and without scroll bars or a frame the
    // viewport fills the area.
    void place() {
        setGeometry(area_->width() - indicatorWidth, 0, indicatorWidth, area_->height());
        raise();
    }

    QScrollArea* area_;
};

}  // namespace

void overlayScrollIndicator(QScrollArea* area) {
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    new ScrollIndicator(area);
}

QScrollArea* verticalScrollArea(QWidget* content, QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidgetResizable(true);
    QPalette palette = area->palette();
    palette.setColor(QPalette::Window, Palette::background());
    palette.setColor(QPalette::Base, Palette::background());
    for (QWidget* w : {static_cast<QWidget*>(area), area->viewport(), content}) {
        w->setPalette(palette);
        w->setAutoFillBackground(true);
    }
    area->setWidget(content);
    overlayScrollIndicator(area);
    return area;
}

}  // namespace kavri
