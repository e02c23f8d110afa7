#include "ui/main/stack/stack_sheet_view.h"

#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "app/subscription_store.h"
#include "ui/main/mac_bottom_sheet.h"
#include "ui/main/mac_root_presenter.h"
#include "ui/main/stack/navigation_bar.h"
#include "ui/main/stack/protocol_screen_view.h"
#include "ui/main/stack/stack_row_button.h"
#include "ui/main/stack/stack_sheet_presenter.h"
#include "ui/object_names.h"
#include "ui/style/fonts.h"
#include "ui/style/palette.h"
#include "ui/style/plain_button.h"
#include "ui/style/activity_indicator.h"
#include "ui/style/qt_text.h"
#include "ui/style/scroll_areas.h"

namespace kavri {

namespace {

// A page with one centred child.
QWidget* centred(QWidget* child, QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch(1);
    layout->addWidget(child, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    return page;
}

}  // namespace

StackSheetView::StackSheetView(QWidget* parent) : QWidget(parent) {
    setObjectName(ObjectName::stackSheetView);
    setAttribute(Qt::WA_OpaquePaintEvent);
    screens_ = new QStackedLayout(this);

    auto* root = new QWidget(this);
    auto* rootLayout = new QVBoxLayout(root);
    rootLayout->setContentsMargins(0, 0, 0, 0);
    rootLayout->setSpacing(0);
    auto* bar = new NavigationBar(root);
    bar->setTitle("Локация");
    auto* close = bar->addItem(NavigationBar::Edge::trailing, "xmark", Fonts::system(14, QFont::DemiBold),
                               Palette::textSecondary());
    close->setObjectName(ObjectName::stackClose);
    connect(close, &QAbstractButton::clicked, this, &StackSheetView::closeClicked);
    rootLayout->addWidget(bar);
    content_ = new QStackedLayout;
    rootLayout->addLayout(content_, 1);
    screens_->addWidget(root);

    loading_ = centred(new ActivityIndicator(Palette::accent(), ActivityIndicator::largeSide), root);
    content_->addWidget(loading_);

    auto* failure = new QWidget;
    auto* failureLayout = new QVBoxLayout(failure);
    failureLayout->setContentsMargins(0, 0, 0, 0);
    failureLayout->setSpacing(16);
    auto* message = new QLabel("Не удалось загрузить список", failure);
    message->setFont(Fonts::system(15));
    message->setStyleSheet(QString("color: %1;").arg(Palette::textSecondary().name(QColor::HexArgb)));
    failureLayout->addWidget(message, 0, Qt::AlignHCenter);
    auto* retry = new PlainButton("Повторить",
                                  {Fonts::system(16, QFont::DemiBold), Palette::accent(), {}, {}, 0, 20, 10,
                                   Palette::withOpacity(Palette::accent(), 0.12), Qt::transparent},
                                  failure);
    retry->setObjectName(ObjectName::stackRetry);
    connect(retry, &QAbstractButton::clicked, this, &StackSheetView::retryClicked);
    failureLayout->addWidget(retry, 0, Qt::AlignHCenter);
    failed_ = centred(failure, root);
    content_->addWidget(failed_);

    auto* rows = new QWidget;
    rowsLayout_ = new QVBoxLayout(rows);
    rowsLayout_->setContentsMargins(int(paddingX), 0, int(paddingX), 0);
    rowsLayout_->setSpacing(0);
    autoRow_ = new StackRowButton(rows);
    autoRow_->setObjectName(ObjectName::stackAutoRow);
    connect(autoRow_, &QAbstractButton::clicked, this, &StackSheetView::autoRowClicked);
    rowsLayout_->addWidget(autoRow_);
    rowsLayout_->addSpacing(int(autoRowPaddingBottom));
    auto* line = new QFrame(rows);
    line->setFixedHeight(1);
    line->setStyleSheet("background-color: rgba(255, 255, 255, 38);");
    rowsLayout_->addWidget(line);
    rowsLayout_->addStretch(1);
    list_ = verticalScrollArea(rows, root);
    content_->addWidget(list_);

    setState(state_);
}

StackSheetView::~StackSheetView() = default;

std::function<QWidget*(QWidget* parent)> StackSheetView::builder(MacRootPresenter& root,
                                                                 SubscriptionStore& subscription, Hooks hooks) {
    return [&root, &subscription, hooks](QWidget* parent) -> QWidget* {
        CatalogHolder* holder = root.catalogHolder();
        StackPinger* pinger = root.pinger();
        if (!holder || !pinger) return nullptr;  // the root view has not come on screen yet
        const auto& stack = subscription.stack.get();
        QPointer<MacBottomSheet> sheet = qobject_cast<MacBottomSheet*>(parent);
        auto* view = new StackSheetView(parent);
        view->bind(std::make_unique<StackSheetPresenter>(
            holder->mainExecutor(),
            StackSheetPresenter::Deps{*holder,
                                      hooks.onRefresh,
                                      stack ? stack->location.id : std::nullopt,
                                      stack ? stack->proto.key : std::nullopt,
                                      *pinger,
                                      hooks.onApply,
                                      hooks.onLocked,
                                      [sheet] {
                                          if (sheet) sheet->dismiss();
                                      },
                                      [&root] { root.stackClosed(); },
                                      hooks.track,
                                      *hooks.clock}));
        return view;
    };
}

void StackSheetView::bind(std::unique_ptr<StackSheetPresenter> presenter) {
    presenter_ = std::move(presenter);
    presenter_->setOnChange([this] { setState(presenter_->state()); });
    connect(this, &StackSheetView::closeClicked, this, [this] { presenter_->closeClicked(); });
    connect(this, &StackSheetView::autoRowClicked, this, [this] { presenter_->autoRowClicked(); });
    connect(this, &StackSheetView::locationClicked, this, [this](const std::string& id) { presenter_->locationClicked(id); });
    connect(this, &StackSheetView::retryClicked, this, [this] { presenter_->retryClicked(); });
    setState(presenter_->state());
    if (isVisible()) presenter_->appear();
}

void StackSheetView::showEvent(QShowEvent*) {
    if (presenter_) presenter_->appear();
}

void StackSheetView::hideEvent(QHideEvent*) {
    if (presenter_) presenter_->disappear();
}

void StackSheetView::setState(const StackSheetState& state) {
    state_ = state;
    using Content = StackSheetState::Content;
    content_->setCurrentWidget(state_.content == Content::list     ? list_
                               : state_.content == Content::failed ? failed_
                                                                   : loading_);
    autoRow_->setRow(state_.autoRow);
    setRows();
    setProtocolScreen();
}

void StackSheetView::setRows() {
    auto* parent = rowsLayout_->parentWidget();
    while (rows_.size() > state_.rows.size()) {
        rows_.back()->hide();
        rows_.back()->deleteLater();
        rows_.pop_back();
    }
    while (rows_.size() < state_.rows.size()) {
        auto* row = new StackRowButton(parent);
        row->setObjectName(ObjectName::stackLocationRow);
        connect(row, &QAbstractButton::clicked, this, [this, row] {
            if (const auto* l = std::get_if<StackSheetState::LocationRow>(&row->row())) emit locationClicked(l->id);
        });
        rowsLayout_->insertWidget(rowsLayout_->count() - 1, row);  // before the stretch
        rows_.push_back(row);
    }
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        rows_[i]->setRow(state_.rows[i]);
        rows_[i]->setProperty("rowKey", q(state_.rows[i].id));
    }
}

void StackSheetView::setProtocolScreen() {
    if (!state_.protocolScreen) {
        if (protocolScreen_) {
            screens_->setCurrentIndex(0);
            protocolScreen_->hide();
            protocolScreen_->deleteLater();
            protocolScreen_ = nullptr;
        }
        return;
    }
    // A screen of another location is a new screen.
    if (protocolScreen_ && protocolScreen_->viewState().locationId != state_.protocolScreen->locationId) {
        protocolScreen_->hide();
        protocolScreen_->deleteLater();
        protocolScreen_ = nullptr;
    }
    if (!protocolScreen_) {
        protocolScreen_ = new ProtocolScreenView(this);
        auto* screen = protocolScreen_.data();
        connect(screen, &ProtocolScreenView::backClicked, this, [this] { if (presenter_) presenter_->backClicked(); });
        const auto forward = [this](auto action) {
            return [this, action](auto&&... args) {
                if (presenter_ && presenter_->protocolScreen()) (presenter_->protocolScreen()->*action)(args...);
            };
        };
        connect(screen, &ProtocolScreenView::rowTapped, this, forward(&ProtocolScreenPresenter::rowTapped));
        connect(screen, &ProtocolScreenView::connectPressed, this, forward(&ProtocolScreenPresenter::connectPressed));
        connect(screen, &ProtocolScreenView::infoPressed, this, forward(&ProtocolScreenPresenter::infoPressed));
        connect(screen, &ProtocolScreenView::infoClosed, this, forward(&ProtocolScreenPresenter::infoClosed));
        screens_->addWidget(screen);
    }
    protocolScreen_->setState(*state_.protocolScreen);
    screens_->setCurrentWidget(protocolScreen_);
}

void StackSheetView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Palette::background());
}

}  // namespace kavri
