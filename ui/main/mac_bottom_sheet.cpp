#include "ui/main/mac_bottom_sheet.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "ui/main/top_rounded_rectangle.h"
#include "ui/style/glow.h"
#include "ui/style/palette.h"

namespace kavri {

namespace {
// How far below the panel the shadow's blur may reach.
constexpr double shadowMargin = 2 * MacBottomSheet::shadowRadius;

double seconds(const QMouseEvent* event) { return double(event->timestamp()) / 1000; }
}  // namespace

MacBottomSheet::MacBottomSheet(double height, QWidget* parent) : QWidget(parent), height_(height), drag_(height) {
    setAttribute(Qt::WA_NoSystemBackground);
    hide();
    connect(&shown_, &AnimatedValue::changed, this, [this] {
        place();
        update();
    });
    connect(&shown_, &AnimatedValue::finished, this, [this] {
        if (!presented_) left();
    });
    connect(&dragOffset_, &AnimatedValue::changed, this, [this] {
        place();
        update();
    });
}

void MacBottomSheet::setContent(ContentBuilder build) {
    build_ = std::move(build);
    if (presented_) buildContent();
}

void MacBottomSheet::setPresented(bool presented) {
    if (presented == presented_) return;
    presented_ = presented;
    if (presented) {
        if (parentWidget()) setGeometry(parentWidget()->rect());
        // An owner that closed the sheet mid-drag left the offset behind;
        // the panel comes back whole.
        dragOffset_.springTo(0, presentation);
        if (!content_) buildContent();
        qApp->installEventFilter(this);
        show();
        raise();
        shown_.springTo(1, presentation);
    } else {
        drag_.cancel();
        backdropPress_ = false;
        shown_.springTo(0, presentation);
        if (!shown_.running()) left();
    }
}

void MacBottomSheet::dismiss() {
    // Back to 0 on the same spring as the exit, so the panel leaves from
    // where the drag let go of it.
    dragOffset_.springTo(0, presentation);
    setPresented(false);
    emit dismissed();
}

void MacBottomSheet::left() {
    qApp->removeEventFilter(this);
    hide();
    delete content_;
}

void MacBottomSheet::buildContent() {
    delete content_;
    if (build_) content_ = build_(this);
    if (content_) content_->show();
    place();
}

QRectF MacBottomSheet::panelRect() const {
    const double hidden = (1 - shown_.value()) * (height_ + shadowMargin);
    const double top = height() - height_ + std::max(0.0, dragOffset_.value()) + hidden;
    return QRectF(0, top, width(), height_);
}

void MacBottomSheet::place() {
    if (!content_) return;
    const QRectF panel = panelRect();
    content_->setGeometry(QRectF(panel.left(), panel.top() + contentTop, panel.width(), height_ - contentTop)
                              .toAlignedRect());
}

void MacBottomSheet::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    place();
}

const QImage& MacBottomSheet::shadow() {
    const double dpr = devicePixelRatioF();
    const QSize size(int(std::ceil((width() + 2 * shadowMargin) * dpr)),
                     int(std::ceil((height_ + 2 * shadowMargin) * dpr)));
    if (shadow_.size() != size || shadow_.devicePixelRatio() != dpr) {
        QImage source(size, QImage::Format_ARGB32_Premultiplied);
        source.setDevicePixelRatio(dpr);
        source.fill(Qt::transparent);
        QPainter p(&source);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(TopRoundedRectangle{radius}.path(QRectF(shadowMargin, shadowMargin, width(), height_)),
                   QColor(0, 0, 0, int(std::lround(255 * shadowOpacity))));
        p.end();
        shadow_ = Glow::blurred(source, shadowRadius);
    }
    return shadow_;
}

void MacBottomSheet::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double shown = std::clamp(shown_.value(), 0.0, 1.0);
    p.fillRect(rect(), QColor(0, 0, 0, int(std::lround(255 * backdropOpacity * shown))));

    const QRectF panel = panelRect();
    p.drawImage(QPointF(panel.left() - shadowMargin, panel.top() - shadowMargin + shadowY), shadow());
    // The background reaches past the bottom edge, so the panel never shows
    // a gap under it while it springs.
    const QRectF filled(panel.left(), panel.top(), panel.width(), std::max(panel.height(), height() - panel.top()));
    p.fillPath(TopRoundedRectangle{radius}.path(filled), Palette::background());

    const QRectF grabber(panel.center().x() - grabberWidth / 2, panel.top() + grabberTop, grabberWidth, grabberHeight);
    p.setPen(Qt::NoPen);
    p.setBrush(Palette::withOpacity(Qt::white, 0.25));
    p.drawRoundedRect(grabber, grabberHeight / 2, grabberHeight / 2);
}

bool MacBottomSheet::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease)
        return false;
    auto* target = qobject_cast<QWidget*>(watched);
    if (letGo_ || !target || !(target == this || isAncestorOf(target))) return false;
    return follow(target, static_cast<QMouseEvent*>(event));
}

bool MacBottomSheet::follow(QWidget* target, QMouseEvent* event) {
    // In the sheet's own points, which the panel's motion does not move.
    const QPointF at = mapFromGlobal(event->globalPosition());
    const double t = seconds(event);
    switch (event->type()) {
        case QEvent::MouseButtonPress:
            if (event->button() != Qt::LeftButton || !presented_ || drag_.pressed() || !panelRect().contains(at))
                return false;
            drag_.press(at.x(), at.y(), t);
            pressed_ = target;
            return false;
        case QEvent::MouseMove: {
            if (!drag_.pressed()) return false;
            const bool wasActive = drag_.active();
            if (!drag_.move(at.x(), at.y(), t)) return false;
            if (!wasActive && pressed_ && pressed_ != this) {
                // A release far outside it: a button lets go without a click.
                letGo_ = true;
                const QPointF away(-1e6, -1e6);
                QMouseEvent release(QEvent::MouseButtonRelease, away, pressed_->mapToGlobal(away), Qt::LeftButton,
                                    Qt::NoButton, event->modifiers());
                QApplication::sendEvent(pressed_, &release);
                letGo_ = false;
            }
            dragOffset_.set(drag_.translation());
            return true;
        }
        case QEvent::MouseButtonRelease: {
            if (event->button() != Qt::LeftButton || !drag_.pressed()) return false;
            const bool dragged = drag_.active();
            pressed_ = nullptr;
            switch (drag_.release(at.x(), at.y(), t)) {
                case SheetDrag::Release::close: dismiss(); break;
                case SheetDrag::Release::springBack: dragOffset_.springTo(0, springBack); break;
                case SheetDrag::Release::none: break;
            }
            return dragged;
        }
        default: return false;
    }
}

void MacBottomSheet::mousePressEvent(QMouseEvent* event) {
    // The backdrop's tap; the panel's drag is followed before this.
    backdropPress_ = event->button() == Qt::LeftButton && presented_ && !panelRect().contains(event->position());
}

void MacBottomSheet::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !backdropPress_) return;
    backdropPress_ = false;
    if (presented_ && !panelRect().contains(event->position())) dismiss();
}

}  // namespace kavri
