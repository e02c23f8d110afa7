#pragma once

#include <QWidget>

namespace kavri {

// The four platforms the service has apps for, each an icon above its
// name, in one centred row. The tiles do not react to clicks.
class PlatformTiles : public QWidget {
    Q_OBJECT
public:
    static constexpr double spacing = 22;
    static constexpr double iconHeight = 26;
    static constexpr double iconFrame = 28;
    static constexpr double labelSpacing = 6;

    explicit PlatformTiles(QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace kavri
