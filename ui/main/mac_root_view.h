#pragma once

#include <QWidget>

namespace kavri {

// The main window's content. For now a plain dark placeholder.
class MacRootView : public QWidget {
    Q_OBJECT
public:
    explicit MacRootView(QWidget* parent = nullptr);

signals:
    // The content was shown, or went away.
    void shown();
    void hidden();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};

}  // namespace kavri
