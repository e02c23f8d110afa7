#include "ui/sheets/qr_code_view.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace kavri {

QrCodeView::QrCodeView(QWidget* parent) : QWidget(parent) {
    const int whole = int(std::ceil(side + 2 * padding));
    setFixedSize(whole, whole);
}

void QrCodeView::setImage(const GrayImage& image) {
    QImage copy(image.width, image.height, QImage::Format_Grayscale8);
    for (int y = 0; y < image.height; ++y)
        std::copy_n(image.pixels.data() + std::size_t(y) * image.width, image.width, copy.scanLine(y));
    image_ = std::move(copy);
    update();
}

QSize QrCodeView::sizeHint() const { return size(); }

void QrCodeView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF card(0, 0, side + 2 * padding, side + 2 * padding);
    QPainterPath clip;
    clip.addRoundedRect(card, cornerRadius, cornerRadius);
    p.fillPath(clip, Qt::white);
    if (image_.isNull()) return;
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);  // every module a sharp square
    p.drawImage(QRectF(padding, padding, side, side), image_);
}

}  // namespace kavri
