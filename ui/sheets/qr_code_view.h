#pragma once

#include <QImage>
#include <QWidget>

#include "platform/qrcode/qr_code_generator.h"

namespace kavri {

// A QR picture on a white rounded card: the symbol stretched to 170 × 170
// without smoothing, 10 of white around it.
class QrCodeView : public QWidget {
    Q_OBJECT
public:
    static constexpr double side = 170;
    static constexpr double padding = 10;
    static constexpr double cornerRadius = 12;

    explicit QrCodeView(QWidget* parent = nullptr);

    void setImage(const GrayImage& image);
    const QImage& image() const { return image_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
};

}  // namespace kavri
