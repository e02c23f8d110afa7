#include "ui/style/glow.h"

#include <QGraphicsBlurEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>


namespace kavri {

QImage Glow::blurred(const QImage& source, double radius) {
    const double dpr = source.devicePixelRatio();
    QGraphicsScene scene;
    QImage flat = source;  // blurred in device pixels
    flat.setDevicePixelRatio(1);
    auto* item = new QGraphicsPixmapItem(QPixmap::fromImage(flat));
    auto* blur = new QGraphicsBlurEffect;
    blur->setBlurRadius(radius * dpr);
    blur->setBlurHints(QGraphicsBlurEffect::QualityHint);
    item->setGraphicsEffect(blur);
    scene.addItem(item);
    QImage out(source.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    {
        QPainter p(&out);
        scene.render(&p, QRectF(out.rect()), QRectF(0, 0, source.width(), source.height()));
    }
    out.setDevicePixelRatio(dpr);
    return out;
}

QImage Glow::blurredDrawing(double side, double dpr, double radius, const std::function<void(QPainter&)>& draw) {
    QImage image((QSizeF(side, side) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        draw(p);
    }
    return blurred(image, radius);
}

}  // namespace kavri
