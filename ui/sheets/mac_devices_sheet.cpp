#include "ui/sheets/mac_devices_sheet.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "ui/object_names.h"
#include "ui/sheets/mac_devices_sheet_presenter.h"
#include "ui/sheets/platform_tiles.h"
#include "ui/sheets/qr_code_view.h"
#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/plain_button.h"
#include "ui/style/qt_text.h"
#include "ui/style/scroll_areas.h"

namespace kavri {

namespace {

using Section = MacDevicesSheetViewState::Section;

constexpr double inset = 20;
constexpr double sectionSpacing = 28;
constexpr double blockSpacing = 12;
constexpr double rowInsetX = 14;
constexpr double rowInsetY = 12;
constexpr double cardRadius = 14;

QLabel* label(const QString& text, const QFont& font, const QColor& color, bool wrap, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setFont(font);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, color);
    l->setPalette(p);
    l->setWordWrap(wrap);
    if (!wrap) l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);  // one line, cut when too long
    return l;
}

void recolor(QLabel* l, const QColor& color) {
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, color);
    l->setPalette(p);
}

QLabel* title(const QString& text, QWidget* parent, const QColor& color = Palette::text()) {
    return label(text, Fonts::system(17, QFont::DemiBold), color, true, parent);
}

// A full-width capsule with its label in the middle.
PlainButton::Look wide(const QColor& text, const QColor& fill) {
    return {Fonts::system(16, QFont::DemiBold), text, {}, {}, 0, 0, 14, fill, Qt::transparent, true};
}

PlainButton* wideButton(const QString& text, PlainButton::Look look, const char* name, QWidget* parent) {
    auto* b = new PlainButton(text, std::move(look), parent);
    b->setObjectName(name);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return b;
}

// A line across the column.
QWidget* rule(double opacity, QWidget* parent) {
    auto* r = new QWidget(parent);
    r->setFixedHeight(1);
    r->setAutoFillBackground(true);
    QPalette p = r->palette();
    p.setColor(QPalette::Window, Palette::withOpacity(Qt::white, opacity));
    r->setPalette(p);
    return r;
}

QVBoxLayout* column(QWidget* w, double spacing, Qt::Alignment align = Qt::Alignment()) {
    auto* l = new QVBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(int(spacing));
    if (align) l->setAlignment(align);
    return l;
}

// The card the device rows lie on.
class RowsCard : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), cardRadius, cardRadius);
        p.fillPath(path, Palette::card());
    }
};

}  // namespace

MacDevicesSheet::MacDevicesSheet(QWidget* parent) : QWidget(parent) {
    setObjectName(ObjectName::devicesSheet);
    auto* root = column(this, 0);

    // Header: the title in the middle, "Готово" at the right.
    auto* header = new QWidget(this);
    auto* grid = new QGridLayout(header);
    grid->setContentsMargins(int(inset), 10, int(inset), 16);
    auto* heading = label("Устройства", Fonts::system(17, QFont::DemiBold), Palette::text(), false, header);
    heading->setAlignment(Qt::AlignCenter);
    auto* done = new PlainButton("Готово",
                                 {Fonts::system(15, QFont::DemiBold), Palette::accent(), {}, {}, 0, 16, 7,
                                  Qt::transparent, Palette::withOpacity(Palette::accent(), 0.45)},
                                 header);
    done->setObjectName(ObjectName::devicesDone);
    grid->addWidget(heading, 0, 0);
    grid->addWidget(done, 0, 0, Qt::AlignRight | Qt::AlignVCenter);
    // Closing destroys the sheet: not from inside the button's own click.
    connect(done, &QAbstractButton::clicked, this, &MacDevicesSheet::doneClicked, Qt::QueuedConnection);
    root->addWidget(header);

    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet("QScrollArea { background: transparent; }");
    scroll->viewport()->setAutoFillBackground(false);
    auto* content = new QWidget;
    auto* col = column(content, sectionSpacing);
    col->setContentsMargins(int(inset), int(inset), int(inset), int(inset));
    col->setSizeConstraint(QLayout::SetNoConstraint);
    scroll->setWidget(content);
    content->setAutoFillBackground(false);  // after setWidget, which turns it on
    overlayScrollIndicator(scroll);  // over the sheet's own background, not beside the column
    root->addWidget(scroll, 1);

    // The owner's devices.
    devicesSection_ = new QWidget(content);
    auto* dl = column(devicesSection_, blockSpacing);
    dl->addWidget(title("Мои устройства", devicesSection_));
    usage_ = label({}, Fonts::system(13), Palette::textSecondary(), true, devicesSection_);
    usage_->setObjectName(ObjectName::devicesUsage);
    dl->addWidget(usage_);
    card_ = new RowsCard(devicesSection_);
    card_->setObjectName(ObjectName::devicesList);
    cardLayout_ = column(card_, 0);
    cardLayout_->setContentsMargins(int(rowInsetX), 0, int(rowInsetX), 0);
    dl->addWidget(card_);
    col->addWidget(devicesSection_);
    devicesDivider_ = rule(0.12, content);
    col->addWidget(devicesDivider_);

    // Share.
    share_ = new QWidget(content);
    auto* sl = column(share_, blockSpacing);
    sl->addWidget(title("Добавить устройство", share_));
    showCode_ = wideButton({}, wide(Palette::accent(), Palette::card()), ObjectName::devicesShowCode, share_);
    connect(showCode_, &QAbstractButton::clicked, this, &MacDevicesSheet::showCodeClicked);
    sl->addWidget(showCode_);
    codeBlock_ = new QWidget(share_);
    auto* cl = column(codeBlock_, blockSpacing);
    qr_ = new QrCodeView(codeBlock_);
    qr_->setObjectName(ObjectName::devicesQr);
    cl->addWidget(qr_, 0, Qt::AlignHCenter);
    code_ = label({}, Fonts::monospaced(30, QFont::Bold, 6), Palette::accent(), false, codeBlock_);
    code_->setObjectName(ObjectName::devicesCode);
    code_->setAlignment(Qt::AlignCenter);
    cl->addWidget(code_);
    auto* hint = label("Введите этот код на новом устройстве.\nКод действует 10 минут", Fonts::system(12),
                       Palette::textSecondary(), true, codeBlock_);
    hint->setAlignment(Qt::AlignHCenter);
    cl->addWidget(hint);
    sl->addWidget(codeBlock_);
    col->addWidget(share_);

    // Join.
    join_ = new QWidget(content);
    auto* jl = column(join_, blockSpacing);
    jl->addWidget(title("Добавить устройство", join_));
    explanation_ = label({}, Fonts::system(13), Palette::textSecondary(), true, join_);
    jl->addWidget(explanation_);
    field_ = new QLineEdit(join_);
    field_->setObjectName(ObjectName::devicesCodeField);
    field_->setPlaceholderText("КОД");
    field_->setFrame(false);
    field_->setAlignment(Qt::AlignCenter);
    field_->setFont(Fonts::monospaced(22, QFont::DemiBold, 4));
    field_->setStyleSheet(QString("QLineEdit { background: %1; color: %2; border: none; border-radius: %3px;"
                                  " padding: 14px 0px; }")
                              .arg(Palette::card().name(), Palette::text().name())
                              .arg(int(cardRadius)));
    {
        QPalette p = field_->palette();
        p.setColor(QPalette::PlaceholderText, Palette::withOpacity(Palette::textSecondary(), 0.6));
        field_->setPalette(p);
    }
    connect(field_, &QLineEdit::textEdited, this, &MacDevicesSheet::codeEdited);
    connect(field_, &QLineEdit::returnPressed, field_, &QWidget::clearFocus);
    jl->addWidget(field_);
    confirm_ = wideButton({}, wide(Palette::background(), Palette::accent()), ObjectName::devicesConfirm, join_);
    connect(confirm_, &QAbstractButton::clicked, this, &MacDevicesSheet::confirmClicked);
    jl->addWidget(confirm_);
    col->addWidget(join_);

    // Member.
    member_ = new QWidget(content);
    auto* ml = column(member_, blockSpacing);
    ml->addWidget(title("Подписка", member_));
    ml->addWidget(label("Доступ выдан владельцем подписки. Списка устройств и раздачи у этого аппарата нет.",
                        Fonts::system(13), Palette::textSecondary(), true, member_));
    unlink_ = wideButton({}, wide(Palette::danger(), Palette::card()), ObjectName::devicesUnlink, member_);
    connect(unlink_, &QAbstractButton::clicked, this, &MacDevicesSheet::unlinkClicked);
    ml->addWidget(unlink_);
    col->addWidget(member_);

    message_ = label({}, Fonts::system(13), Palette::success(), true, content);
    message_->setObjectName(ObjectName::devicesMessage);

    col->addWidget(rule(0.12, content));

    // Other platforms.
    auto* install = new QWidget(content);
    auto* il = column(install, blockSpacing);
    il->addWidget(title("Установить VPN на другие устройства", install, Palette::textSecondary()));
    il->addWidget(new PlatformTiles(install));
    auto* choose = wideButton("Выбрать устройство", wide(Palette::accent(), Palette::withOpacity(Palette::accent(), 0.12)),
                              ObjectName::devicesInstall, install);
    connect(choose, &QAbstractButton::clicked, this, &MacDevicesSheet::installClicked);
    il->addWidget(choose);
    col->addWidget(install);
    col->addStretch(1);

    setState(state_);
}

MacDevicesSheet::~MacDevicesSheet() {
    if (presenter_) presenter_->setOnChange(nullptr);
    QObject::disconnect(this, nullptr, nullptr, nullptr);
}

void MacDevicesSheet::bind(MacDevicesSheetPresenter& presenter) {
    presenter_ = &presenter;
    auto* p = &presenter;
    connect(this, &MacDevicesSheet::doneClicked, this, [p] { p->closeClicked(); });
    connect(this, &MacDevicesSheet::removeClicked, this, [p](const QString& id) { p->removeClicked(id.toStdString()); });
    connect(this, &MacDevicesSheet::showCodeClicked, this, [p] { p->showCode(); });
    connect(this, &MacDevicesSheet::codeEdited, this, [p](const QString& text) { p->codeEdited(text.toStdString()); });
    connect(this, &MacDevicesSheet::confirmClicked, this, [p] { p->confirmJoin(); });
    connect(this, &MacDevicesSheet::unlinkClicked, this, [p] { p->unlink(); });
    connect(this, &MacDevicesSheet::installClicked, this, [p] { p->openInstallPage(); });
    connect(this, &MacDevicesSheet::shown, this, [p] { p->appear(); });
    connect(this, &MacDevicesSheet::hidden, this, [p] { p->disappear(); });
    presenter.setOnChange([this, p] { setState(p->state()); });
    setState(presenter.state());
    if (isVisible()) presenter.appear();
}

void MacDevicesSheet::own(std::unique_ptr<MacDevicesSheetPresenter> presenter) {
    owned_ = std::move(presenter);
    bind(*owned_);
}

void MacDevicesSheet::setState(const MacDevicesSheetViewState& next) {
    const bool rowsChanged = !drawn_ || next.rows != state_.rows;
    state_ = next;
    drawn_ = true;

    devicesSection_->setVisible(state_.showsDevices);
    devicesDivider_->setVisible(state_.showsDevices);
    usage_->setText(q(state_.usageText));
    if (rowsChanged) rebuildRows();

    share_->setVisible(state_.section == Section::share);
    join_->setVisible(state_.section == Section::join);
    member_->setVisible(state_.section == Section::member);

    showCode_->setText(q(state_.shareLabel));
    showCode_->setEnabled(state_.shareEnabled);
    showCode_->setVisible(!state_.code);
    codeBlock_->setVisible(state_.code.has_value());
    qr_->setVisible(state_.qr.has_value());
    if (state_.qr) qr_->setImage(*state_.qr);
    code_->setText(state_.code ? q(*state_.code) : QString());

    explanation_->setText(q(state_.joinExplanation));
    if (field_->text() != q(state_.entered)) field_->setText(q(state_.entered));
    confirm_->setText(q(state_.confirmLabel));
    confirm_->setEnabled(state_.confirmEnabled);
    confirm_->setLook(wide(Palette::background(), Palette::withOpacity(Palette::accent(), state_.confirmOpacity)));

    unlink_->setText(q(state_.unlinkLabel));
    unlink_->setEnabled(state_.unlinkEnabled);

    placeMessage();
    message_->setVisible(state_.message.has_value());
    message_->setText(state_.message ? q(*state_.message) : QString());
    recolor(message_, Palette::color(state_.messageColor));
}

// The message line ends whichever account block is shown.
void MacDevicesSheet::placeMessage() {
    QWidget* home = state_.section == Section::share ? share_ : state_.section == Section::join ? join_ : member_;
    if (home == messageHome_) return;
    if (messageHome_) messageHome_->layout()->removeWidget(message_);
    message_->setParent(home);
    home->layout()->addWidget(message_);
    messageHome_ = home;
}

void MacDevicesSheet::rebuildRows() {
    // A row's button may be the one whose click led here: it goes later.
    while (auto* item = cardLayout_->takeAt(0)) {
        if (auto* w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        delete item;
    }
    card_->setVisible(!state_.rows.empty());
    for (const auto& r : state_.rows) {
        auto* row = new QWidget(card_);
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, int(rowInsetY), 0, int(rowInsetY));
        h->setSpacing(12);
        auto* texts = new QWidget(row);
        auto* tl = column(texts, 2);
        tl->addWidget(label(q(r.title), Fonts::system(15), Palette::text(), false, texts));
        tl->addWidget(label(q(r.subtitle), Fonts::system(12), Palette::textSecondary(), false, texts));
        h->addWidget(texts, 1);
        if (r.removable) {
            PlainButton::Look look;
            look.font = Fonts::system(14, QFont::DemiBold);
            look.color = Palette::danger();
            auto* remove = new PlainButton("Удалить", look, row);
            remove->setObjectName(ObjectName::devicesRemove);
            const QString id = q(r.id);
            remove->setProperty("deviceId", id);
            h->addWidget(remove);
            connect(remove, &QAbstractButton::clicked, this, [this, id] { emit removeClicked(id); });
        }
        cardLayout_->addWidget(row);
        row->show();
        if (r.separatorBelow) {
            auto* line = rule(0.1, card_);
            cardLayout_->addWidget(line);
            line->show();
        }
    }
}

void MacDevicesSheet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    emit shown();
}

void MacDevicesSheet::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    emit hidden();
}

}  // namespace kavri
