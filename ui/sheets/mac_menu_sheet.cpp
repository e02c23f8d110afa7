#include "ui/sheets/mac_menu_sheet.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <cmath>

#include "ui/object_names.h"
#include "ui/sheets/mac_menu_sheet_presenter.h"
#include "ui/sheets/sheet_scroll_area.h"
#include "ui/style/fonts.h"
#include "ui/style/painted_button.h"
#include "ui/style/painted_widget.h"
#include "ui/style/palette.h"
#include "ui/style/plain_button.h"
#include "ui/style/qt_text.h"
#include "ui/style/symbols.h"

namespace kavri {

namespace {

constexpr double cardRadius = 12;

int up(double v) { return int(std::ceil(v)); }
double lineHeight(const QFont& font) { return QFontMetricsF(font).height(); }

QFont titleFont() { return Fonts::system(17, QFont::DemiBold); }
QFont idFont() { return Fonts::system(17, QFont::DemiBold); }
QFont hintFont() { return Fonts::system(12); }
QFont sectionFont() { return Fonts::system(13, QFont::Medium); }
QFont rowFont() { return Fonts::system(15); }
QFont bodyFont() { return Fonts::system(13); }  // the default text font
QFont versionFont() { return Fonts::system(15, QFont::DemiBold); }
QFont updateFont() { return Fonts::system(14); }
QFont footerFont() { return Fonts::system(14); }

void fillCard(QPainter& p, const QRectF& r, const QColor& color) {
    QPainterPath shape;
    shape.addRoundedRect(r, cardRadius, cardRadius);
    p.fillPath(shape, color);
}

// A card: the card colour in a rounded rectangle, its rows stacked inside.
QWidget* card(std::initializer_list<QWidget*> rows) {
    auto* w = new PaintedWidget([](QPainter& p, const QRectF& r) { fillCard(p, r, Palette::card()); });
    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (auto* row : rows) layout->addWidget(row);
    return w;
}

// A row that leads to another sheet: its title, and a chevron at the end.
PaintedButton* navigationRow(const QString& title, const char* name) {
    auto* b = new PaintedButton([title](QPainter& p, const QRectF& r) {
        const QRectF content = r.adjusted(14, 14, -14, -14);
        const double chevron = QFontMetricsF(Fonts::system(12, QFont::DemiBold)).capHeight() * 1.3;
        p.setPen(Palette::text());
        p.setFont(rowFont());
        Fonts::drawFitted(p, content.adjusted(0, 0, -chevron - 8, 0), Qt::AlignLeft | Qt::AlignVCenter, title, 1);
        Symbols::paint(p, "chevron.right",
                       QRectF(content.right() - chevron, content.center().y() - chevron / 2, chevron, chevron),
                       Palette::accent());
    });
    b->setObjectName(name);
    b->setFixedHeight(up(14 + lineHeight(rowFont()) + 14));
    return b;
}

PlainButton* footerLink(const QString& text, const char* name) {
    auto* b = new PlainButton(text, {footerFont(), Palette::textSecondary()});
    b->setObjectName(name);
    b->setFixedSize(b->sizeHint());
    return b;
}

PaintedWidget* footerDot() {
    auto* w = new PaintedWidget([](QPainter& p, const QRectF& r) {
        p.setPen(Palette::textSecondary());
        p.setFont(footerFont());
        p.drawText(r, Qt::AlignCenter, "·");
    });
    w->setFixedSize(up(QFontMetricsF(footerFont()).horizontalAdvance("·")), up(lineHeight(footerFont())));
    return w;
}

}  // namespace

MacMenuSheet::MacMenuSheet(QWidget* parent) : QWidget(parent) {
    setObjectName(ObjectName::menuSheetContent);
    setAttribute(Qt::WA_OpaquePaintEvent);

    done_ = new PlainButton("Готово",
                            {Fonts::system(15, QFont::DemiBold), Palette::accent(), {}, {}, 0, 16, 7, Qt::transparent,
                             Palette::withOpacity(Palette::accent(), 0.45)},
                            this);
    done_->setObjectName(ObjectName::menuDone);
    connect(done_, &QAbstractButton::clicked, this, &MacMenuSheet::doneClicked);

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(14, 0, 14, 20);
    column->setSpacing(18);

    // The account number card: copies the whole line.
    auto* id = new PaintedButton([this](QPainter& p, const QRectF& r) {
        fillCard(p, r, Palette::card());
        const QRectF content = r.adjusted(14, 14, -14, -14);
        const double h1 = lineHeight(idFont());
        p.setFont(idFont());
        p.setPen(Palette::color(state_.idColor));
        const QString line = q(state_.idLine);
        const double w = Fonts::fixedDigitsWidth(idFont(), line);
        Fonts::drawFixedDigits(p, QRectF(content.left(), content.top(), w, h1), line);
        p.setFont(hintFont());
        p.setPen(Palette::textSecondary());
        p.drawText(QRectF(content.left(), content.top() + h1 + 3, content.width(), lineHeight(hintFont())),
                   Qt::AlignLeft | Qt::AlignVCenter, "Назовите его в поддержке");
    });
    id->setObjectName(ObjectName::menuIdCard);
    id->setFixedHeight(up(14 + lineHeight(idFont()) + 3 + lineHeight(hintFont()) + 14));
    connect(id, &QAbstractButton::clicked, this, &MacMenuSheet::idClicked);
    column->addWidget(id);

    // The subscription line: a dot and the text, centred together.
    auto* status = new PaintedWidget([this](QPainter& p, const QRectF& r) {
        const QRectF content = r.adjusted(14, 14, -14, -14);
        const QString text = q(state_.statusText);
        const QFont font = Fonts::shrunkToFit(rowFont(), text, content.width() - 16, 0.8);
        const double textW = std::min(QFontMetricsF(font).horizontalAdvance(text), content.width() - 16);
        double x = content.center().x() - (8 + 8 + textW) / 2;
        p.setPen(Qt::NoPen);
        p.setBrush(Palette::color(state_.statusColor));
        p.drawEllipse(QRectF(x, content.center().y() - 4, 8, 8));
        p.setPen(Palette::text());
        p.setFont(rowFont());
        Fonts::drawFitted(p, QRectF(x + 16, content.top(), textW + 1, content.height()),
                          Qt::AlignLeft | Qt::AlignVCenter, text, 0.8);
    });
    status->setFixedHeight(up(14 + lineHeight(rowFont()) + 14));
    column->addWidget(section("Подписка", false, false, card({status})));

    auto* plans = navigationRow("Продлить или сменить тариф", ObjectName::menuPlansRow);
    connect(plans, &QAbstractButton::clicked, this, &MacMenuSheet::plansClicked);
    column->addWidget(section("Тариф", false, false, card({plans})));

    auto* devices = navigationRow("Мои устройства и перенос доступа", ObjectName::menuDevicesRow);
    connect(devices, &QAbstractButton::clicked, this, &MacMenuSheet::devicesClicked);
    column->addWidget(section("Устройства", false, false, card({devices})));

    // The version card: the installed build, a line, the update control.
    auto* installed = new PaintedWidget([this](QPainter& p, const QRectF& r) {
        const QRectF content = r.adjusted(14, 12, -14, -12);
        p.setPen(Palette::text());
        p.setFont(bodyFont());
        p.drawText(content, Qt::AlignLeft | Qt::AlignVCenter, "Установлена");
        p.setPen(Palette::textSecondary());
        p.setFont(versionFont());
        p.drawText(content, Qt::AlignRight | Qt::AlignVCenter, q(state_.installedVersion));
    });
    installed->setFixedHeight(up(12 + std::max(lineHeight(bodyFont()), lineHeight(versionFont())) + 12));
    auto* separator = new PaintedWidget([](QPainter& p, const QRectF& r) {
        p.fillRect(QRectF(r.left() + 14, r.top(), r.width() - 14, 1), Palette::withOpacity(Qt::white, 0.08));
    });
    separator->setFixedHeight(1);
    update_ = new PaintedButton([this](QPainter& p, const QRectF& r) {
        const auto& u = state_.update;
        if (u.filled) fillCard(p, r, Palette::accent());
        p.setPen(Palette::color(u.color));
        p.setFont(updateFont());
        p.drawText(r.adjusted(8, 12, -8, -12), Qt::AlignCenter | Qt::TextWordWrap, q(u.text));
    });
    update_->setObjectName(ObjectName::updateButton);
    connect(update_, &QAbstractButton::clicked, this, &MacMenuSheet::updateClicked);
    auto* updateBox = new QWidget;
    auto* updateLayout = new QVBoxLayout(updateBox);
    updateLayout->setContentsMargins(8, 0, 8, 6);
    updateLayout->addWidget(update_);
    column->addWidget(section("Версия приложения", false, true, card({installed, separator, updateBox})));

    // The invitation: copies the link, never shows it.
    referral_ = new PaintedButton([this](QPainter& p, const QRectF& r) {
        p.setPen(Palette::color(state_.referralTint));
        p.setFont(rowFont());
        Fonts::drawFitted(p, r.adjusted(10, 13, -10, -13), Qt::AlignCenter, q(state_.referralText), 0.8);
    });
    referral_->setObjectName(ObjectName::referralButton);
    referral_->setFixedHeight(up(13 + lineHeight(rowFont()) + 13));
    connect(referral_, &QAbstractButton::clicked, this, &MacMenuSheet::referralClicked);
    referralSection_ = section("Приглашайте друзей", true, false, card({referral_}));
    column->addWidget(referralSection_);

    // The footer: the three links and the product's name.
    auto* footer = new QWidget;
    auto* footerColumn = new QVBoxLayout(footer);
    footerColumn->setContentsMargins(0, 6, 0, 0);
    footerColumn->setSpacing(8);
    auto* links = new QHBoxLayout;
    links->setSpacing(8);
    links->addStretch();
    auto* privacy = footerLink("Политика", ObjectName::privacyLink);
    auto* terms = footerLink("Соглашение", ObjectName::termsLink);
    auto* support = footerLink("Техподдержка", ObjectName::supportLink);
    connect(privacy, &QAbstractButton::clicked, this, &MacMenuSheet::privacyClicked);
    connect(terms, &QAbstractButton::clicked, this, &MacMenuSheet::termsClicked);
    connect(support, &QAbstractButton::clicked, this, &MacMenuSheet::supportClicked);
    links->addWidget(privacy);
    links->addWidget(footerDot());
    links->addWidget(terms);
    links->addWidget(footerDot());
    links->addWidget(support);
    links->addStretch();
    footerColumn->addLayout(links);
    auto* product = new PaintedWidget([](QPainter& p, const QRectF& r) {
        p.setPen(Palette::withOpacity(Palette::textSecondary(), 0.6));
        p.setFont(hintFont());
        p.drawText(r, Qt::AlignCenter, "Каври");
    });
    product->setFixedHeight(up(lineHeight(hintFont())));
    footerColumn->addWidget(product);
    column->addWidget(footer);
    column->addStretch();

    scroll_ = new SheetScrollArea(content, this);

    setState(state_);
}

MacMenuSheet::~MacMenuSheet() {
    if (presenter_) presenter_->setOnChange(nullptr);
}

QWidget* MacMenuSheet::section(const QString& title, bool highlighted, bool followsVersion, QWidget* body) {
    auto* w = new QWidget;
    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* label = new PaintedWidget([this, title, highlighted, followsVersion](QPainter& p, const QRectF& r) {
        const bool accent = highlighted || (followsVersion && state_.versionHighlighted);
        p.setPen(accent ? Palette::accent() : Palette::textSecondary());
        p.setFont(sectionFont());
        p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter, title);
    });
    label->setFixedHeight(up(lineHeight(sectionFont())));
    layout->addWidget(label);
    layout->addWidget(body);
    return w;
}

double MacMenuSheet::headerHeight() const {
    return 10 + std::max(lineHeight(titleFont()), done_->naturalSize().height()) + 16;
}

void MacMenuSheet::bind(std::unique_ptr<MacMenuSheetPresenter> presenter) {
    presenter_ = std::move(presenter);
    auto& p = *presenter_;
    connect(this, &MacMenuSheet::doneClicked, this, [&p] { p.doneClicked(); });
    connect(this, &MacMenuSheet::idClicked, this, [&p] { p.idClicked(); });
    connect(this, &MacMenuSheet::plansClicked, this, [&p] { p.plansClicked(); });
    connect(this, &MacMenuSheet::devicesClicked, this, [&p] { p.devicesClicked(); });
    connect(this, &MacMenuSheet::updateClicked, this, [&p] { p.updateClicked(); });
    connect(this, &MacMenuSheet::referralClicked, this, [&p] { p.referralClicked(); });
    connect(this, &MacMenuSheet::privacyClicked, this, [&p] { p.privacyClicked(); });
    connect(this, &MacMenuSheet::termsClicked, this, [&p] { p.termsClicked(); });
    connect(this, &MacMenuSheet::supportClicked, this, [&p] { p.supportClicked(); });
    connect(this, &MacMenuSheet::shown, this, [&p] { p.appear(); });
    connect(this, &MacMenuSheet::hidden, this, [&p] { p.disappear(); });
    p.setOnChange([this] { setState(presenter_->state()); });
    setState(p.state());
    if (isVisible()) p.appear();
}

void MacMenuSheet::setState(const MacMenuSheetState& next) {
    state_ = next;
    update_->setEnabled(state_.update.enabled);
    referral_->setEnabled(state_.referralEnabled);
    referralSection_->setVisible(state_.showsReferral);
    fitUpdateControl();
    for (auto* w : findChildren<QWidget*>()) w->update();
    update();
}

void MacMenuSheet::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.fillRect(rect(), Palette::background());
    p.setPen(Palette::text());
    p.setFont(titleFont());
    p.drawText(QRectF(20, 10, width() - 40, headerHeight() - 26), Qt::AlignCenter, "Меню");
}

void MacMenuSheet::resizeEvent(QResizeEvent*) {
    const double h = headerHeight();
    const QSizeF done = done_->naturalSize();
    done_->setFloatGeometry(QRectF(width() - 20 - done.width(), 10 + (h - 26 - done.height()) / 2, done.width(),
                                   done.height()));
    scroll_->setGeometry(0, up(h), width(), std::max(0, height() - up(h)));
    fitUpdateControl();
}

void MacMenuSheet::fitUpdateControl() {
    // A long text (a failure's) takes as many lines as it needs.
    const double textWidth = std::max(1, width() - 2 * 14 - 2 * 8 - 2 * 8);
    const double textHeight =
        QFontMetricsF(updateFont())
            .boundingRect(QRectF(0, 0, textWidth, 10000), Qt::AlignCenter | Qt::TextWordWrap, q(state_.update.text))
            .height();
    update_->setFixedHeight(up(12 + std::max(textHeight, lineHeight(updateFont())) + 12));
}

void MacMenuSheet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    emit shown();
}

void MacMenuSheet::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    emit hidden();
}

}  // namespace kavri
