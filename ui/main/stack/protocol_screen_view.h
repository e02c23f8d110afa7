#pragma once

#include <QPointer>
#include <QWidget>

#include <vector>

#include "ui/main/stack/protocol_screen_state.h"

class QMessageBox;
class QVBoxLayout;

namespace kavri {

class NavigationBar;
class ProtocolConnectButton;
class ProtocolRowButton;

// The protocol screen of a location: a bar with the back and information
// buttons and the location's title, the protocols under "ПРОТОКОЛ", and the
// connect button at the bottom. It draws a ProtocolScreenState and signals
// the clicks.
class ProtocolScreenView : public QWidget {
    Q_OBJECT
public:
    static constexpr double paddingX = 20;
    static constexpr double buttonPaddingBottom = 24;

    explicit ProtocolScreenView(QWidget* parent = nullptr);

    void setState(const ProtocolScreenState& state);
    const ProtocolScreenState& viewState() const { return state_; }

signals:
    void backClicked();
    void rowTapped(const std::string& key);
    void connectPressed();
    void infoPressed();
    void infoClosed();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void rebuildRows();
    void updateAlert();

    ProtocolScreenState state_;
    NavigationBar* bar_;
    QVBoxLayout* rowsLayout_;
    std::vector<ProtocolRowButton*> rows_;
    std::vector<QWidget*> dividers_;
    ProtocolConnectButton* connect_;
    QPointer<QMessageBox> alert_;
};

}  // namespace kavri
