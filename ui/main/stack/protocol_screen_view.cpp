#include "ui/main/stack/protocol_screen_view.h"

#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include "ui/main/stack/navigation_bar.h"
#include "ui/main/stack/protocol_connect_button.h"
#include "ui/main/stack/protocol_row_button.h"
#include "ui/main/stack/protocol_screen_presenter.h"
#include "ui/object_names.h"
#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/plain_button.h"
#include "ui/style/qt_text.h"
#include "ui/style/scroll_areas.h"

namespace kavri {

namespace {

QWidget* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setStyleSheet("background-color: rgba(255, 255, 255, 31);");
    return line;
}

}  // namespace

ProtocolScreenView::ProtocolScreenView(QWidget* parent) : QWidget(parent) {
    setObjectName(ObjectName::protocolScreen);
    setAttribute(Qt::WA_OpaquePaintEvent);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    bar_ = new NavigationBar(this);
    auto* back = bar_->addItem(NavigationBar::Edge::leading, "chevron.left", Fonts::system(16, QFont::DemiBold),
                               Palette::accent());
    back->setObjectName(ObjectName::protocolBack);
    connect(back, &QAbstractButton::clicked, this, &ProtocolScreenView::backClicked);
    auto* info = bar_->addItem(NavigationBar::Edge::trailing, "info.circle", Fonts::system(16),
                               Palette::textSecondary());
    info->setObjectName(ObjectName::protocolInfo);
    connect(info, &QAbstractButton::clicked, this, &ProtocolScreenView::infoPressed);
    layout->addWidget(bar_);

    auto* content = new QWidget;
    rowsLayout_ = new QVBoxLayout(content);
    rowsLayout_->setContentsMargins(int(paddingX), 0, int(paddingX), 0);
    rowsLayout_->setSpacing(0);
    auto* caption = new QLabel("ПРОТОКОЛ", content);
    caption->setFont(Fonts::system(12, QFont::DemiBold));
    caption->setStyleSheet(QString("color: %1;").arg(Palette::textSecondary().name(QColor::HexArgb)));
    caption->setContentsMargins(0, 16, 0, 8);
    rowsLayout_->addWidget(caption);
    rowsLayout_->addStretch(1);
    layout->addWidget(verticalScrollArea(content, this), 1);

    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(int(paddingX), 0, int(paddingX), int(buttonPaddingBottom));
    connect_ = new ProtocolConnectButton(this);
    connect_->setObjectName(ObjectName::protocolConnect);
    connect(connect_, &QAbstractButton::clicked, this, &ProtocolScreenView::connectPressed);
    bottom->addWidget(connect_);
    layout->addLayout(bottom);
    setState(state_);
}

void ProtocolScreenView::setState(const ProtocolScreenState& state) {
    const bool sameRows = state.rows.size() == state_.rows.size() && !rows_.empty();
    state_ = state;
    bar_->setTitle(q(state_.titleText));
    if (sameRows) {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            rows_[i]->setRow(state_.rows[i]);
            rows_[i]->setProperty("rowKey", q(state_.rows[i].key));
            dividers_[i]->setVisible(state_.rows[i].dividerAfter);
        }
    } else {
        rebuildRows();
    }
    connect_->setLook(q(state_.buttonText),
                      state_.buttonBlackText ? QColor(Qt::black) : Palette::color(state_.buttonTextColor),
                      Palette::color(state_.buttonFill));
    connect_->setEnabled(state_.connectEnabled);
    updateAlert();
}

void ProtocolScreenView::rebuildRows() {
    for (auto* w : rows_) w->hide(), w->deleteLater();
    for (auto* w : dividers_) w->hide(), w->deleteLater();
    rows_.clear();
    dividers_.clear();
    auto* content = rowsLayout_->parentWidget();
    int at = 1;  // after the caption
    for (const auto& row : state_.rows) {
        auto* button = new ProtocolRowButton(content);
        button->setObjectName(ObjectName::protocolRow);
        button->setProperty("rowKey", q(row.key));
        button->setRow(row);
        connect(button, &QAbstractButton::clicked, this, [this, button] { emit rowTapped(button->row().key); });
        rowsLayout_->insertWidget(at++, button);
        auto* line = divider(content);
        line->setVisible(row.dividerAfter);
        rowsLayout_->insertWidget(at++, line);
        rows_.push_back(button);
        dividers_.push_back(line);
    }
}

void ProtocolScreenView::updateAlert() {
    if (state_.showInfo && !alert_) {
        alert_ = new QMessageBox(QMessageBox::NoIcon, ProtocolScreenPresenter::infoTitle,
                                 ProtocolScreenPresenter::infoMessage, QMessageBox::NoButton, this);
        alert_->setObjectName(ObjectName::protocolInfoAlert);
        alert_->addButton(ProtocolScreenPresenter::infoButton, QMessageBox::RejectRole);
        alert_->setAttribute(Qt::WA_DeleteOnClose);
        connect(alert_, &QMessageBox::finished, this, [this] { emit infoClosed(); });
        alert_->open();
    } else if (!state_.showInfo && alert_) {
        alert_->close();
    }
}

void ProtocolScreenView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Palette::background());
}

}  // namespace kavri
