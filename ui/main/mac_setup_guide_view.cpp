#include "ui/main/mac_setup_guide_view.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <vector>

#include "ui/main/mac_setup_guide_presenter.h"
#include "ui/object_names.h"
#include "ui/style/button_styles.h"
#include "ui/style/capsule_button.h"
#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/qt_text.h"

namespace kavri {

namespace {

QFont titleFont() { return Fonts::system(21, QFont::Bold); }
QFont subtitleFont() { return Fonts::system(14); }
QFont badgeFont() { return Fonts::system(12, QFont::Bold); }
QFont stepFont() { return Fonts::system(13); }
QFont noteFont() { return Fonts::system(12); }

constexpr int wrapped = Qt::TextWordWrap;

double textHeight(const QFont& font, const QString& text, double width, int align) {
    if (text.isEmpty()) return QFontMetricsF(font).height();  // an empty line still stands
    return QFontMetricsF(font).boundingRect(QRectF(0, 0, width, 100000), align | wrapped, text).height();
}

}  // namespace

// Where each part of the guide lies, in the view's points.
struct MacSetupGuideView::Layout {
    QRectF hero, title, subtitle, steps, button, note;
    std::vector<QRectF> badges, stepTexts;
};

MacSetupGuideView::MacSetupGuideView(QWidget* parent) : QWidget(parent) {
    setObjectName(ObjectName::setupGuide);
    connect(&hero_, &MorvelHero::changed, this, qOverload<>(&QWidget::update));
}

MacSetupGuideView::~MacSetupGuideView() {
    if (presenter_) presenter_->setOnChange(nullptr);
}

void MacSetupGuideView::bind(MacSetupGuidePresenter& presenter) {
    presenter_ = &presenter;
    connect(this, &MacSetupGuideView::buttonClicked, this, [&presenter] { presenter.buttonClicked(); });
    presenter.setOnChange([this, &presenter] { setState(presenter.state()); });
    setState(presenter.state());
}

void MacSetupGuideView::setState(const MacSetupGuideViewState& state) {
    const bool buttonChanged = state.button != state_.button || (!button_ && !state.button.empty());
    state_ = state;
    if (buttonChanged) {
        delete button_;
        button_ = nullptr;
        if (!state_.button.empty()) {
            button_ = new CapsuleButton(q(state_.button), CapsuleButton::primaryLook(), MacPrimaryButtonStyle::feedback,
                                        this);
            button_->setObjectName(ObjectName::setupGuideButton);
            connect(button_, &QAbstractButton::clicked, this, &MacSetupGuideView::buttonClicked);
            button_->show();
        }
    }
    relayout();
    update();
}

MacSetupGuideView::Layout MacSetupGuideView::layout() const {
    Layout l;
    const double w = width() - 2 * insetX;
    const double x0 = insetX;
    const int centred = Qt::AlignHCenter;

    const double titleH = textHeight(titleFont(), q(state_.title), w, centred);
    const double subtitleH = textHeight(subtitleFont(), q(state_.subtitle), w, centred);
    const double textH = titleH + textSpacing + subtitleH;

    // The steps box: rows of a badge and a wrapped text, inset on all sides.
    double stepsH = 0;
    std::vector<double> rowHeights;
    const double stepTextW = w - 2 * stepsInset - badgeSide - badgeSpacing;
    if (state_.showsSteps) {
        for (const char* step : MacSetupGuidePresenter::steps) {
            const double h = std::max(badgeSide, textHeight(stepFont(), QString::fromUtf8(step), stepTextW, Qt::AlignLeft));
            rowHeights.push_back(h);
            stepsH += h;
        }
        stepsH += stepsSpacing * (rowHeights.size() - 1) + 2 * stepsInset;
    }
    const QSizeF buttonS = button_ ? QSizeF(button_->sizeHint()) : QSizeF();
    const double noteH = textHeight(noteFont(), MacSetupGuidePresenter::note, w, centred);

    double total = heroSide + spacing + textH + spacing + noteH;
    if (state_.showsSteps) total += stepsH + spacing;
    if (button_) total += buttonS.height() + spacing;
    const double available = height() - 2 * insetY;
    double y = insetY + std::max(0.0, (available - total) / 2);

    l.hero = QRectF(width() / 2.0 - heroSide / 2, y, heroSide, heroSide);
    y += heroSide + spacing;
    l.title = QRectF(x0, y, w, titleH);
    l.subtitle = QRectF(x0, y + titleH + textSpacing, w, subtitleH);
    y += textH + spacing;
    if (state_.showsSteps) {
        l.steps = QRectF(x0, y, w, stepsH);
        double ry = y + stepsInset;
        for (double h : rowHeights) {
            l.badges.emplace_back(x0 + stepsInset, ry, badgeSide, badgeSide);
            l.stepTexts.emplace_back(x0 + stepsInset + badgeSide + badgeSpacing, ry, stepTextW, h);
            ry += h + stepsSpacing;
        }
        y += stepsH + spacing;
    }
    if (button_) {
        l.button = QRectF(width() / 2.0 - buttonS.width() / 2, y, buttonS.width(), buttonS.height());
        y += buttonS.height() + spacing;
    }
    l.note = QRectF(x0, y, w, noteH);
    return l;
}

void MacSetupGuideView::relayout() {
    if (button_) button_->setFloatGeometry(layout().button);
}

void MacSetupGuideView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    relayout();
}

void MacSetupGuideView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const Layout l = layout();

    p.save();
    p.translate(l.hero.topLeft());
    p.scale(heroSide / MorvelHero::side, heroSide / MorvelHero::side);
    hero_.paint(p, QRectF(0, 0, MorvelHero::side, MorvelHero::side));
    p.restore();

    p.setPen(Palette::text());
    p.setFont(titleFont());
    p.drawText(l.title, Qt::AlignHCenter | wrapped, q(state_.title));
    p.setPen(Palette::textSecondary());
    p.setFont(subtitleFont());
    p.drawText(l.subtitle, Qt::AlignHCenter | wrapped, q(state_.subtitle));

    if (state_.showsSteps) {
        QPainterPath box;
        box.addRoundedRect(l.steps, stepsRadius, stepsRadius);
        p.fillPath(box, Palette::card());
        for (std::size_t i = 0; i < l.badges.size(); ++i) {
            p.setPen(Qt::NoPen);
            p.setBrush(Palette::accent());
            p.drawEllipse(l.badges[i]);
            p.setPen(Palette::background());
            p.setFont(badgeFont());
            p.drawText(l.badges[i], Qt::AlignCenter, QString::number(i + 1));
            p.setPen(Palette::text());
            p.setFont(stepFont());
            p.drawText(l.stepTexts[i], Qt::AlignLeft | Qt::AlignTop | wrapped,
                       QString::fromUtf8(MacSetupGuidePresenter::steps[i]));
        }
    }

    p.setPen(Palette::withOpacity(Palette::textSecondary(), 0.8));
    p.setFont(noteFont());
    p.drawText(l.note, Qt::AlignHCenter | wrapped, MacSetupGuidePresenter::note);
}

}  // namespace kavri
