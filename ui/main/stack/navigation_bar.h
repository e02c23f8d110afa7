#pragma once

#include <QColor>
#include <QFont>
#include <QWidget>

namespace kavri {

class PlainButton;

// The bar above a screen of the stack sheet: its title in the middle and up
// to one icon button at each end, each in a 44 × 44 frame that takes the
// click as a whole.
class NavigationBar : public QWidget {
    Q_OBJECT
public:
    static constexpr double barHeight = 44;
    static constexpr double itemSide = 44;

    enum class Edge { leading, trailing };

    explicit NavigationBar(QWidget* parent = nullptr);

    void setTitle(const QString& title);
    QString title() const { return title_; }
    PlainButton* addItem(Edge edge, const QString& symbol, const QFont& symbolFont, const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QString title_;
    PlainButton* leading_ = nullptr;
    PlainButton* trailing_ = nullptr;
};

}  // namespace kavri
