#include "ui/main/mac_root_view.h"

#include <QDesktopServices>
#include <QUrl>
#include <QFontMetricsF>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <limits>

#include "ui/main/logo_button.h"
#include "ui/main/mac_bottom_sheet.h"
#include "ui/main/mac_root_presenter.h"
#include "ui/main/mac_setup_guide_presenter.h"
#include "ui/main/mac_setup_guide_view.h"
#include "ui/main/stack_card.h"
#include "ui/object_names.h"
#include "ui/style/capsule_button.h"
#include "ui/style/connect_button.h"
#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/plain_button.h"
#include "ui/style/qt_text.h"

namespace kavri {

namespace {

constexpr double dotSide = 9.5;
constexpr double dotSpacing = 10;
constexpr double removedSpacing = 12;
constexpr double lineSpacing = 6;
// More of a status caption than the window could ever show.
constexpr int maxCaptionCharacters = 2000;

QFont titleFont() { return Fonts::system(20.9, QFont::Bold); }
QFont captionFont() { return Fonts::system(15.2, QFont::Medium); }
QFont bannerFont() { return Fonts::system(14.25); }
QFont bannerSmallFont() { return Fonts::system(12.35); }

// The status caption broken into lines no wider than `width`: at word
// boundaries, and anywhere in a word longer than a line. At most `maxLines`
// (at least one); when the text needs more, the last line shown ends in "…".
QStringList captionLines(const QString& text, double width, int maxLines) {
    const QFont font = captionFont();
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    QList<int> starts;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        starts.push_back(line.textStart());
        lines.push_back(text.mid(line.textStart(), line.textLength()).trimmed());
    }
    layout.endLayout();
    maxLines = std::max(1, maxLines);
    if (lines.size() > maxLines) {
        // The rest as one line, cut to the width with an ellipsis.
        const QString rest = text.mid(starts[maxLines - 1]).simplified();
        lines = lines.mid(0, maxLines - 1);
        lines.push_back(QFontMetricsF(font).elidedText(rest, Qt::ElideRight, width));
    }
    if (lines.isEmpty()) lines.push_back(QString());
    return lines;
}

double textHeight(const QFont& font, const QString& text, double width) {
    return QFontMetricsF(font).boundingRect(QRectF(0, 0, width, 10000), Qt::AlignHCenter | Qt::TextWordWrap, text).height();
}

}  // namespace

// Where each part of the main column lies, in the view's points.
struct MacRootView::Layout {
    QRectF header, menu, logoFrame, status, banner, bannerTitle, bannerSubtitle, bannerButton, stackCard, connect;
    QRectF lineText, lineDot, linePay;
    // The status caption as drawn: its lines, and the width of the widest.
    QStringList caption;
    double captionWidth = 0;
};

MacRootView::MacRootView(Clock& clock, QWidget* parent) : QWidget(parent), clock_(clock) {
    setObjectName(ObjectName::rootView);
    setAutoFillBackground(false);
    setAttribute(Qt::WA_OpaquePaintEvent);

    logo_ = new LogoButton(clock_, this);
    logo_->setObjectName(ObjectName::logoButton);
    connect(logo_, &QAbstractButton::clicked, this, &MacRootView::logoClicked);

    menu_ = new PlainButton("Меню",
                            {Fonts::system(14.25, QFont::DemiBold), Palette::accent(), "line.3.horizontal",
                             Fonts::system(13.3, QFont::DemiBold), 6, 13.3, 6.65,
                             Palette::withOpacity(Palette::accent(), 0.12),
                             Palette::withOpacity(Palette::accent(), 0.35)},
                            this);
    menu_->setObjectName(ObjectName::menuButton);
    connect(menu_, &QAbstractButton::clicked, this, &MacRootView::menuClicked);

    stackCard_ = new StackCard(this);
    stackCard_->setObjectName(ObjectName::stackCard);
    connect(stackCard_, &QAbstractButton::clicked, this, &MacRootView::stackCardClicked);

    connect_ = new ConnectButton(this);
    connect_->setObjectName(ObjectName::connectButton);
    connect(connect_, &QAbstractButton::clicked, this, &MacRootView::connectClicked);

    guide_ = new MacSetupGuideView(this);
    guide_->hide();

    const char* sheetNames[] = {ObjectName::menuSheet, ObjectName::plansSheet, ObjectName::devicesSheet,
                                ObjectName::stackSheet};
    for (int i = 0; i < 4; ++i) {
        sheets_[i] = new MacBottomSheet(sheetHeights[i], this);
        sheets_[i]->setObjectName(sheetNames[i]);
        connect(sheets_[i], &MacBottomSheet::dismissed, this, [this, i] { emit sheetDismissed(i); });
    }
    resize(int(std::ceil(width)), int(std::ceil(height)));
    setState(state_);
    rebuildBanner();
}

MacRootView::~MacRootView() {
    delete guide_;  // before the presenter it draws
    if (presenter_) presenter_->setOnChange(nullptr);
}

void MacRootView::bind(MacRootPresenter& presenter) {
    presenter_ = &presenter;
    connect(this, &MacRootView::menuClicked, this, [&presenter] { presenter.menuClicked(); });
    connect(this, &MacRootView::logoClicked, this, [&presenter] { presenter.logoClicked(); });
    connect(this, &MacRootView::connectClicked, this, [&presenter] { presenter.connectClicked(); });
    connect(this, &MacRootView::payClicked, this, [&presenter] { presenter.payClicked(); });
    connect(this, &MacRootView::restoreAccessClicked, this, [&presenter] { presenter.restoreAccessClicked(); });
    connect(this, &MacRootView::alertDismissed, this, [&presenter] { presenter.alertDismissed(); });
    connect(this, &MacRootView::stackCardClicked, this, [&presenter] { presenter.stackCardClicked(); });
    connect(this, &MacRootView::sheetDismissed, this, [&presenter](int sheet) {
        switch (sheet) {
            case 0: presenter.menuClosed(); break;
            case 1: presenter.plansClosed(); break;
            case 2: presenter.devicesClosed(); break;
            default: presenter.stackClosed(); break;
        }
    });
    connect(this, &MacRootView::shown, this, [&presenter] { presenter.appear(); });
    connect(this, &MacRootView::hidden, this, [&presenter] { presenter.disappear(); });
    presenter.setOnChange([this, &presenter] { setState(presenter.state()); });
    guidePresenter_ = std::make_unique<MacSetupGuidePresenter>(presenter.sysex(), [](const std::string& url) {
        return QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
    });
    guide_->bind(*guidePresenter_);
    setState(presenter.state());
    if (isVisible()) presenter.appear();
}

void MacRootView::setState(const MacRootViewState& next) {
    const bool bannerChanged = next.banner != state_.banner;
    state_ = next;
    if (bannerChanged) rebuildBanner();

    auto& halo = logo_->halo();
    halo.setActive(state_.haloActive);
    halo.setConnectedSince(state_.connectedSince);
    logo_->setEnabled(state_.logoEnabled);

    MacConnectButtonStyle style;
    if (state_.connected) {
        style.background = Palette::withOpacity(Qt::white, 0.12);
        style.foreground = Qt::white;
    } else {
        style.background = Palette::accent();
        style.foreground = Qt::black;
    }
    connect_->setStyle(style);
    connect_->setText(q(state_.connectLabel));
    connect_->setBusy(state_.connectBusy);
    connect_->setDimming(state_.connectOpacity);
    connect_->setEnabled(state_.connectEnabled);

    const bool column = !state_.showsSetupGuide;
    for (QWidget* w : {static_cast<QWidget*>(menu_), static_cast<QWidget*>(logo_), static_cast<QWidget*>(connect_)})
        w->setVisible(column);
    if (bannerButton_) bannerButton_->setVisible(column);
    if (pay_) pay_->setVisible(column);
    if (state_.stack) stackCard_->setInputs(*state_.stack, true, state_.stackCardBusy);
    stackCard_->setVisible(column && state_.showsStackCard && state_.stack);
    guide_->setGeometry(rect());
    guide_->setVisible(!column);

    const bool flags[] = {state_.showMenu, state_.showPlans, state_.showDevices, state_.showStack};
    for (int i = 0; i < 4; ++i) {
        sheets_[i]->setGeometry(rect());
        sheets_[i]->setPresented(flags[i]);
    }
    stackSheets();
    updateAlert();
    relayout();
    update();
}

void MacRootView::setSheetContent(int sheet, std::function<QWidget*(QWidget* parent)> build) {
    sheets_.at(sheet)->setContent(std::move(build));
}

void MacRootView::rebuildBanner() {
    delete bannerButton_;
    bannerButton_ = nullptr;
    delete pay_;
    pay_ = nullptr;
    const auto& b = state_.banner;
    if (b.kind == AccountBanner::Kind::deviceRemoved || b.kind == AccountBanner::Kind::expired) {
        bannerButton_ = new CapsuleButton(q(b.button), CapsuleButton::bannerLook(), LogoPressStyle::feedback, this);
        bannerButton_->setObjectName(ObjectName::bannerButton);
        if (b.kind == AccountBanner::Kind::deviceRemoved) {
            connect(bannerButton_, &QAbstractButton::clicked, this, &MacRootView::restoreAccessClicked);
        } else {
            connect(bannerButton_, &QAbstractButton::clicked, this, &MacRootView::payClicked);
        }
        bannerButton_->show();
    } else if (b.kind == AccountBanner::Kind::stateLine && b.payLink) {
        pay_ = new PlainButton("Оплатить", {Fonts::system(14.25, QFont::DemiBold), Palette::accent()}, this);
        pay_->setObjectName(ObjectName::payButton);
        connect(pay_, &QAbstractButton::clicked, this, &MacRootView::payClicked);
        pay_->show();
    }
    stackSheets();
}

// The sheets lie over the column in their fixed order, whichever opened
// last: a later one of the four above an earlier one, also while one of
// them slides out.
void MacRootView::stackSheets() {
    for (auto* sheet : sheets_)
        if (sheet->isVisible()) sheet->raise();
}

MacRootView::Layout MacRootView::layout() const {
    Layout l;
    const double x0 = paddingX;
    const double w = width - 2 * paddingX;

    const double titleH = QFontMetricsF(titleFont()).height();
    const QSizeF menuSize = menu_->naturalSize();
    const double headerH = std::max(titleH, menuSize.height());
    // The caption wraps within the column beside the dot; a failure text
    // may be long.
    // No more of it than a window of lines could show is laid out.
    const QString captionText = q(state_.status.caption).left(maxCaptionCharacters);
    const double captionRoom = w - dotSide - dotSpacing;
    const double lineH = QFontMetricsF(captionFont()).height();
    l.caption = captionLines(captionText, captionRoom, std::numeric_limits<int>::max());
    auto statusHeight = [&] { return std::max(dotSide, lineH * double(l.caption.size())); };
    double statusH = statusHeight();

    // The banner's own height and its parts, from its top.
    const auto& b = state_.banner;
    double bannerH = 0;
    QRectF title, subtitle, button, lineText, lineDot, linePay;
    if (b.kind == AccountBanner::Kind::deviceRemoved || b.kind == AccountBanner::Kind::expired) {
        const double gap = b.kind == AccountBanner::Kind::deviceRemoved ? removedSpacing : spacing;
        const double th = textHeight(bannerFont(), q(b.title), w);
        title = QRectF(x0, 0, w, th);
        bannerH = th + gap;
        if (!b.subtitle.empty()) {
            const double sh = textHeight(bannerSmallFont(), q(b.subtitle), w);
            subtitle = QRectF(x0, bannerH, w, sh);
            bannerH += sh + gap;
        }
        const QSizeF bs = bannerButton_ ? QSizeF(bannerButton_->sizeHint()) : QSizeF();
        button = QRectF(x0 + (w - bs.width()) / 2, bannerH, bs.width(), bs.height());
        bannerH += bs.height();
    } else if (b.kind == AccountBanner::Kind::stateLine) {
        const QFontMetricsF m(bannerFont());
        const double textW = Fonts::fixedDigitsWidth(bannerFont(), q(b.title));
        double total = textW;
        double dotW = 0;
        QSizeF payS;
        if (b.payLink) {
            dotW = m.horizontalAdvance("·");
            payS = pay_ ? pay_->naturalSize() : QSizeF();
            total += lineSpacing + dotW + lineSpacing + payS.width();
        }
        bannerH = std::max(m.height(), payS.height());
        double x = x0 + (w - total) / 2;
        lineText = QRectF(x, 0, textW, bannerH);
        x += textW + lineSpacing;
        lineDot = QRectF(x, 0, dotW, bannerH);
        x += dotW + lineSpacing;
        linePay = QRectF(x, 0, payS.width(), bannerH);
    }

    double total = headerH + spacing + LogoButton::frameSide + spacing + statusH + spacing + MacConnectButtonStyle::height;
    if (bannerH > 0) total += bannerH + spacing;
    const bool card = state_.showsStackCard && state_.stack;
    if (card) total += stackCardPaddingTop + StackCard::height + spacing;
    const double available = height - paddingTop - paddingBottom;
    if (total > available && l.caption.size() > 1) {
        // Only as many lines as the window has room for.
        const int keep = int(l.caption.size()) - int(std::ceil((total - available) / lineH - 1e-9));
        total -= statusH;
        l.caption = captionLines(captionText, captionRoom, keep);
        statusH = statusHeight();
        total += statusH;
    }
    const QFontMetricsF captionMetrics(captionFont());
    for (const auto& line : l.caption) l.captionWidth = std::max(l.captionWidth, captionMetrics.horizontalAdvance(line));
    double y = paddingTop + std::max(0.0, (available - total) / 2);

    l.header = QRectF(x0, y, w, headerH);
    l.menu = QRectF(x0 + w - menuSize.width(), y + (headerH - menuSize.height()) / 2, menuSize.width(),
                    menuSize.height());
    y += headerH + spacing;
    l.logoFrame = QRectF(width / 2 - LogoButton::frameSide / 2, y, LogoButton::frameSide, LogoButton::frameSide);
    y += LogoButton::frameSide + spacing;
    l.status = QRectF(x0, y, w, statusH);
    y += statusH + spacing;
    if (bannerH > 0) {
        l.banner = QRectF(x0, y, w, bannerH);
        l.bannerTitle = title.translated(0, y);
        l.bannerSubtitle = subtitle.translated(0, y);
        l.bannerButton = button.translated(0, y);
        l.lineText = lineText.translated(0, y);
        l.lineDot = lineDot.translated(0, y);
        l.linePay = linePay.translated(0, y);
        y += bannerH + spacing;
    }
    if (card) {
        y += stackCardPaddingTop;
        l.stackCard = QRectF(x0, y, w, StackCard::height);
        y += StackCard::height + spacing;
    }
    l.connect = QRectF(x0, y, w, MacConnectButtonStyle::height);
    return l;
}

void MacRootView::relayout() {
    const Layout l = layout();
    menu_->setFloatGeometry(l.menu);
    const double reach = MorvelHalo::glowReach;
    logo_->setFloatGeometry(l.logoFrame.adjusted(-reach, -reach, reach, reach));
    logo_->lower();  // its glow lies under the header and the status row
    connect_->setFloatGeometry(l.connect);
    if (!l.stackCard.isEmpty()) stackCard_->setFloatGeometry(l.stackCard);
    if (bannerButton_) bannerButton_->setFloatGeometry(l.bannerButton);
    if (pay_) pay_->setFloatGeometry(l.linePay);
}

void MacRootView::updateAlert() {
    if (state_.stackError && !alert_) {
        alert_ = new QMessageBox(QMessageBox::NoIcon, "Локация", q(*state_.stackError), QMessageBox::NoButton, this);
        alert_->setObjectName(ObjectName::stackAlert);
        alert_->addButton("Понятно", QMessageBox::RejectRole);
        alert_->setAttribute(Qt::WA_DeleteOnClose);
        connect(alert_, &QMessageBox::finished, this, [this] { emit alertDismissed(); });
        alert_->open();
    } else if (!state_.stackError && alert_) {
        alert_->close();
    }
}

void MacRootView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.fillRect(rect(), Palette::background());

    if (state_.showsSetupGuide) return;  // the guide draws itself

    const Layout l = layout();
    p.setPen(Palette::text());
    p.setFont(titleFont());
    p.drawText(l.header, Qt::AlignLeft | Qt::AlignVCenter, "Каври");

    // Status row: the dot and the caption, centred together; the dot beside
    // the middle of a caption of several lines.
    const double rowW = dotSide + dotSpacing + l.captionWidth;
    double x = l.status.center().x() - rowW / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(Palette::color(state_.status.dot));
    p.drawEllipse(QRectF(x, l.status.center().y() - dotSide / 2, dotSide, dotSide));
    p.setPen(Palette::text());
    p.setFont(captionFont());
    const double lineH = QFontMetricsF(captionFont()).height();
    double lineY = l.status.center().y() - lineH * double(l.caption.size()) / 2;
    for (const auto& line : l.caption) {
        p.drawText(QRectF(x + dotSide + dotSpacing, lineY, l.captionWidth + 1, lineH), Qt::AlignLeft | Qt::AlignVCenter,
                   line);
        lineY += lineH;
    }

    const auto& b = state_.banner;
    switch (b.kind) {
        case AccountBanner::Kind::none: break;
        case AccountBanner::Kind::deviceRemoved:
        case AccountBanner::Kind::expired:
            p.setFont(bannerFont());
            p.setPen(Palette::danger());
            p.drawText(l.bannerTitle, Qt::AlignHCenter | Qt::TextWordWrap, q(b.title));
            if (!b.subtitle.empty()) {
                p.setFont(bannerSmallFont());
                p.setPen(Palette::textSecondary());
                p.drawText(l.bannerSubtitle, Qt::AlignHCenter | Qt::TextWordWrap, q(b.subtitle));
            }
            break;
        case AccountBanner::Kind::stateLine:
            p.setFont(bannerFont());
            p.setPen(Palette::color(b.color));
            Fonts::drawFixedDigits(p, l.lineText, q(b.title));
            if (b.payLink) {
                p.setPen(Palette::withOpacity(Palette::textSecondary(), 0.55));
                p.drawText(l.lineDot, Qt::AlignCenter, "·");
            }
            break;
    }
}

void MacRootView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    emit shown();
}

void MacRootView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    emit hidden();
}

}  // namespace kavri
