#include "ui/sheets/mac_plan_sheet.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

#include "ui/object_names.h"
#include "ui/sheets/mac_plan_sheet_presenter.h"
#include "ui/sheets/sheet_scroll_area.h"
#include "ui/style/activity_indicator.h"
#include "ui/style/fonts.h"
#include "ui/style/painted_button.h"
#include "ui/style/painted_widget.h"
#include "ui/style/palette.h"
#include "ui/style/plain_button.h"
#include "ui/style/qt_text.h"

namespace kavri {

namespace {

constexpr double rowRadius = 14;
constexpr double inset = 14;

int up(double v) { return int(std::ceil(v)); }
double lineHeight(const QFont& font) { return QFontMetricsF(font).height(); }

QFont headlineFont() { return Fonts::system(20, QFont::Bold); }
QFont captionFont() { return Fonts::system(13); }
QFont planFont() { return Fonts::system(17, QFont::DemiBold); }
QFont planSubFont() { return Fonts::system(12); }
QFont priceFont() { return Fonts::system(18, QFont::Bold); }

}  // namespace

// Where the fixed parts lie, in the sheet's points.
struct MacPlanSheet::Layout {
    QRectF close, headline, caption, body;
};

MacPlanSheet::MacPlanSheet(QWidget* parent) : QWidget(parent) {
    setObjectName(ObjectName::planSheetContent);
    setAttribute(Qt::WA_OpaquePaintEvent);

    close_ = new PlainButton("Закрыть", {Fonts::system(15, QFont::DemiBold), Palette::accent()}, this);
    close_->setObjectName(ObjectName::planClose);
    connect(close_, &QAbstractButton::clicked, this, &MacPlanSheet::closeClicked);

    // The loading view: a spinner over its caption, in the middle of what is left.
    loading_ = new QWidget(this);
    loading_->setObjectName(ObjectName::planLoading);
    auto* loadingColumn = new QVBoxLayout(loading_);
    loadingColumn->setSpacing(10);
    loadingColumn->addStretch();
    loadingColumn->addWidget(new ActivityIndicator(Palette::text()), 0, Qt::AlignHCenter);
    auto* caption = new PaintedWidget([](QPainter& p, const QRectF& r) {
        p.setPen(Palette::textSecondary());
        p.setFont(captionFont());
        p.drawText(r, Qt::AlignCenter, "Загружаем тарифы…");
    });
    caption->setFixedHeight(up(lineHeight(captionFont())));
    loadingColumn->addWidget(caption);
    loadingColumn->addStretch();

    auto* list = new QWidget;
    list_ = new QVBoxLayout(list);
    list_->setContentsMargins(int(inset), 0, int(inset), 20);
    list_->setSpacing(10);
    scroll_ = new SheetScrollArea(list, this);

    setState(state_);
}

MacPlanSheet::~MacPlanSheet() {
    if (presenter_) presenter_->setOnChange(nullptr);
}

MacPlanSheet::Layout MacPlanSheet::layout() const {
    Layout l;
    const QSizeF close = close_->naturalSize();
    l.close = QRectF(width() - 20 - close.width(), 12, close.width(), close.height());
    const double headH = lineHeight(headlineFont());
    l.headline = QRectF(0, l.close.bottom(), width(), headH);
    l.caption = QRectF(0, l.headline.bottom() + 4, width(), lineHeight(captionFont()));
    const double top = l.caption.bottom() + 14;
    l.body = QRectF(0, top, width(), std::max(0.0, height() - top));
    return l;
}

void MacPlanSheet::bind(std::unique_ptr<MacPlanSheetPresenter> presenter) {
    presenter_ = std::move(presenter);
    auto& p = *presenter_;
    connect(this, &MacPlanSheet::closeClicked, this, [&p] { p.closeClicked(); });
    connect(this, &MacPlanSheet::planClicked, this, [&p](const std::string& key) { p.planClicked(key); });
    connect(this, &MacPlanSheet::shown, this, [&p] { p.appear(); });
    connect(this, &MacPlanSheet::hidden, this, [&p] { p.disappear(); });
    p.setOnChange([this] { setState(presenter_->state()); });
    setState(p.state());
    if (isVisible()) p.appear();
}

void MacPlanSheet::setState(const MacPlanSheetState& next) {
    const bool sameRows = next.rows.size() == state_.rows.size() && !rows_.empty() &&
                          std::equal(next.rows.begin(), next.rows.end(), state_.rows.begin(),
                                     [](const auto& a, const auto& b) { return a.key == b.key; });
    state_ = next;
    if (!sameRows) rebuildRows();
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        rows_[i]->setEnabled(state_.rows[i].enabled);
        spinners_[i]->setVisible(state_.rows[i].busy);
        rows_[i]->update();
    }
    loading_->setVisible(state_.loading);
    scroll_->setVisible(!state_.loading);
    update();
}

void MacPlanSheet::rebuildRows() {
    for (auto* row : rows_) delete row;
    rows_.clear();
    spinners_.clear();
    const double titleH = lineHeight(planFont());
    const double subH = lineHeight(planSubFont());
    const double rowH = inset + std::max(titleH + 2 + subH, lineHeight(priceFont())) + inset;
    for (std::size_t i = 0; i < state_.rows.size(); ++i) {
        auto* b = new PaintedButton([this, i](QPainter& p, const QRectF& r) {
            if (i >= state_.rows.size()) return;
            const auto& row = state_.rows[i];
            QPainterPath shape;
            const QRectF frame = r.adjusted(0.5, 0.5, -0.5, -0.5);
            shape.addRoundedRect(frame, rowRadius, rowRadius);
            p.fillPath(shape, row.pro ? Palette::withOpacity(Palette::accent(), 0.12) : Palette::card());
            if (row.pro) {
                p.setPen(QPen(Palette::withOpacity(Palette::accent(), 0.45), 1));
                p.drawPath(shape);
            }
            const QRectF content = r.adjusted(inset, inset, -inset, -inset);
            double priceW = 0;
            if (!row.busy) {
                p.setFont(priceFont());
                p.setPen(Palette::accent());
                const QString price = q(row.price);
                priceW = QFontMetricsF(priceFont()).horizontalAdvance(price);
                p.drawText(content, Qt::AlignRight | Qt::AlignVCenter, price);
            } else {
                priceW = ActivityIndicator::smallSide;
            }
            const double textW = content.width() - priceW - 8;
            const double textTop = content.center().y() - (lineHeight(planFont()) + 2 + lineHeight(planSubFont())) / 2;
            p.setPen(Palette::text());
            p.setFont(planFont());
            Fonts::drawFitted(p, QRectF(content.left(), textTop, textW, lineHeight(planFont())),
                              Qt::AlignLeft | Qt::AlignVCenter, q(row.title), 1);
            p.setPen(row.pro ? Palette::withOpacity(Palette::accent(), 0.85) : Palette::textSecondary());
            p.setFont(planSubFont());
            Fonts::drawFitted(p,
                              QRectF(content.left(), textTop + lineHeight(planFont()) + 2, textW,
                                     lineHeight(planSubFont())),
                              Qt::AlignLeft | Qt::AlignVCenter, q(row.subtitle), 0.75);
        });
        b->setObjectName(ObjectName::planRow);
        b->setFixedHeight(up(rowH));
        const std::string key = state_.rows[i].key;
        connect(b, &QAbstractButton::clicked, this, [this, key] { emit planClicked(key); });
        auto* spinner = new ActivityIndicator(Palette::text(), ActivityIndicator::smallSide, b);
        spinner->hide();
        auto* rowLayout = new QHBoxLayout(b);
        rowLayout->setContentsMargins(int(inset), 0, int(inset), 0);
        rowLayout->addStretch();
        rowLayout->addWidget(spinner, 0, Qt::AlignVCenter);
        list_->insertWidget(int(i), b);
        rows_.push_back(b);
        spinners_.push_back(spinner);
    }
    if (list_->count() == int(rows_.size())) list_->addStretch();
}

void MacPlanSheet::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.fillRect(rect(), Palette::background());
    const Layout l = layout();
    p.setPen(Palette::text());
    p.setFont(headlineFont());
    p.drawText(l.headline, Qt::AlignCenter, "Выберите тариф");
    p.setPen(Palette::textSecondary());
    p.setFont(captionFont());
    p.drawText(l.caption, Qt::AlignCenter, "Купленный срок прибавится к уже активному.");
}

void MacPlanSheet::resizeEvent(QResizeEvent*) {
    const Layout l = layout();
    close_->setFloatGeometry(l.close);
    loading_->setGeometry(l.body.toAlignedRect());
    scroll_->setGeometry(l.body.toAlignedRect());
}

void MacPlanSheet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    emit shown();
}

void MacPlanSheet::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    emit hidden();
}

}  // namespace kavri
