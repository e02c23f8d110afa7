#include "ui/main/mac_root_view.h"

#include "ui/object_names.h"

namespace kavri {

MacRootView::MacRootView(QWidget* parent) : QWidget(parent) {
    setObjectName(ObjectName::rootView);
    setAutoFillBackground(true);
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
