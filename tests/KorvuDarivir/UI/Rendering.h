#pragma once

#include <functional>

#include <QImage>
#include <QPainter>
#include <QWidget>

#include <gtest/gtest.h>

namespace uitest {

// The rendering helpers of the drawing tests (also used by the platform painting tests).

// Renders `paint` into a transparent image of `size` logical pixels at `ratio`.
inline QImage render(QSizeF size, qreal ratio, const std::function<void(QPainter&)>& paint)
{
    QImage image((size * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint(painter);
    return image;
}

// Without the window background, so that alpha shows what the widget itself paints.
inline QImage grab(QWidget& widget, qreal ratio)
{
    return render(widget.size(), ratio, [&](QPainter& p) { widget.render(&p, {}, {}, QWidget::DrawChildren); });
}

inline QColor at(const QImage& image, QPointF logical) { return image.pixelColor((logical * image.devicePixelRatio()).toPoint()); }

inline ::testing::AssertionResult sameColour(const QColor& actual, QRgb expected, int tolerance = 2)
{
    const QColor e = QColor::fromRgb(expected);
    if (std::abs(actual.red() - e.red()) <= tolerance && std::abs(actual.green() - e.green()) <= tolerance
        && std::abs(actual.blue() - e.blue()) <= tolerance && actual.alpha() >= 250) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << actual.name(QColor::HexArgb).toStdString() << " is not " << e.name().toStdString();
}

}  // namespace uitest
