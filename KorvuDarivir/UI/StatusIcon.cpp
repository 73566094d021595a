#include "KorvuDarivir/UI/StatusIcon.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "KorvuDarivir/UI/Brand.h"
#include "Platform/UI/Painting.h"

namespace korvu {

namespace {

constexpr std::array<double, 5> barHeights{5, 10, 14, 10, 5};

// The drawings are given with the origin at the bottom left and y up; Qt's y runs down.
QRectF yUp(double x, double y, double w, double h, double imageHeight) { return {x, imageHeight - y - h, w, h}; }

void fillEllipse(QPainter& p, const QRectF& rect, const QColor& colour)
{
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(rect);
}

}  // namespace

StatusImage StatusIcon::render(QSize size, bool isTemplate, const std::function<void(QPainter&)>& paint)
{
    StatusImage result{size, isTemplate, {}, {}};
    for (const int ratio : {1, 2}) {
        QImage image(size * ratio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        paint(painter);
        painter.end();
        (ratio == 1 ? result.image1x : result.image2x) = std::move(image);
    }
    return result;
}

StatusImage StatusIcon::bars(bool badge, const QColor& label)
{
    QColor barColour = badge ? label : QColor(Qt::black);
    if (badge) {
        barColour.setAlphaF(0.4F);
    }
    return render(QSize(badge ? 19 : 16, 16), !badge, [&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(barColour);
        for (size_t i = 0; i < barHeights.size(); ++i) {
            const double h = barHeights[i];
            p.drawRoundedRect(yUp(3.5 * static_cast<double>(i), (16 - h) / 2, 2, h, 16), 1, 1);
        }
        if (badge) {
            fillEllipse(p, yUp(10, 7, 9, 9, 16), Brand::orangyRed);
            // The text is placed by the bottom of its line box, so the baseline sits one
            // descent above the given point.
            const QFont font = platform::Painting::font(7.5, platform::FontWeight::heavy);
            const QFontMetricsF metrics(font, p.device());
            p.setFont(font);
            p.setPen(Qt::white);
            p.drawText(QPointF(13.2, 16 - 7.6 - metrics.descent()), QStringLiteral("!"));
        }
    });
}

StatusImage StatusIcon::recordDot()
{
    return render(QSize(9, 9), false, [](QPainter& p) { fillEllipse(p, QRectF(0, 0, 9, 9), Brand::orangyRed); });
}

StatusImage StatusIcon::dots()
{
    return render(QSize(16, 16), true, [](QPainter& p) {
        for (const double x : {0.25, 6.25, 12.25}) {
            fillEllipse(p, yUp(x, 6.25, 3.5, 3.5, 16), Qt::black);
        }
    });
}

StatusImage StatusIcon::ring(double progress)
{
    // Below 1 at least a sliver shows; 1 and more, and NaN, close the circle.
    const double fraction = progress < 1 ? std::max(progress, 0.05) : 1.0;
    return render(QSize(16, 16), true, [fraction](QPainter& p) {
        const QRectF circle = yUp(2, 2, 12, 12, 16);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor::fromRgbF(0, 0, 0, 0.25F), 1.6));
        p.drawEllipse(circle);
        // Qt's degrees are those of the y-up drawing: 90 is the top, negative turns clockwise.
        QPainterPath arc;
        arc.arcMoveTo(circle, 90);
        arc.arcTo(circle, 90, -360 * fraction);
        p.strokePath(arc, QPen(Qt::black, 1.6, Qt::SolidLine, Qt::RoundCap));
    });
}

QColor StatusIcon::trayForeground(platform::Appearance panel)
{
    return panel == platform::Appearance::dark ? QColor(Qt::white) : QColor(Qt::black);
}

QColor StatusImage::outlineFor(const QColor& foreground)
{
    // Whichever of black and white stands further from the foreground.
    return foreground.lightnessF() < 0.5F ? QColor(Qt::white) : QColor(Qt::black);
}

namespace {

// The image with every pixel in `colour`, keeping each pixel's coverage.
QImage tinted(const QImage& source, const QColor& colour)
{
    QImage result = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter p(&result);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(QRectF(QPointF(), result.deviceIndependentSize()), colour);
    p.end();
    return result;
}

// The shape grown by one device pixel all round, in `colour`: each pixel takes the
// strongest coverage of its neighbourhood, so a faint part (the ring's track) gets an
// equally faint rim.
QImage rimOf(const QImage& shape, const QColor& colour)
{
    const QImage source = shape.convertToFormat(QImage::Format_ARGB32);
    QImage rim(source.size(), QImage::Format_ARGB32_Premultiplied);
    rim.setDevicePixelRatio(shape.devicePixelRatio());
    const QRgb base = colour.rgba();
    const int width = source.width(), height = source.height();
    for (int y = 0; y < height; ++y) {
        auto* out = reinterpret_cast<QRgb*>(rim.scanLine(y));
        for (int x = 0; x < width; ++x) {
            int coverage = 0;
            for (int ny = std::max(0, y - 1); ny <= std::min(height - 1, y + 1); ++ny) {
                const auto* row = reinterpret_cast<const QRgb*>(source.constScanLine(ny));
                for (int nx = std::max(0, x - 1); nx <= std::min(width - 1, x + 1); ++nx) {
                    coverage = std::max(coverage, qAlpha(row[nx]));
                }
            }
            out[x] = qPremultiply(qRgba(qRed(base), qGreen(base), qBlue(base), qAlpha(base) * coverage / 255));
        }
    }
    return rim;
}

constexpr double outlineOpacity = 0.85;

}  // namespace

QImage StatusImage::squareImage(const QColor& foreground, int ratio) const
{
    const QImage& source = ratio >= 2 ? image2x : image1x;
    const int side = std::max({16, size.width(), size.height()});
    QImage square(QSize(side, side) * source.devicePixelRatio(), QImage::Format_ARGB32_Premultiplied);
    square.setDevicePixelRatio(source.devicePixelRatio());
    square.fill(Qt::transparent);
    QPainter p(&square);
    p.drawImage(QPointF((side - size.width()) / 2.0, (side - size.height()) / 2.0), source);
    p.end();
    if (!isTemplate) {
        return square;
    }
    // The tray's colour is not known: the palette tells only the application's, and most
    // panels are dark whatever it is. A thin rim in the opposite colour keeps the shape
    // visible on a panel of the foreground's own colour.
    QImage result(square.size(), QImage::Format_ARGB32_Premultiplied);
    result.setDevicePixelRatio(square.devicePixelRatio());
    result.fill(Qt::transparent);
    p.begin(&result);
    p.setOpacity(outlineOpacity);
    p.drawImage(QPointF(), rimOf(square, outlineFor(foreground)));
    p.setOpacity(1);
    p.drawImage(QPointF(), tinted(square, foreground));
    p.end();
    return result;
}

QIcon StatusImage::toIcon(const QColor& foreground) const
{
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(squareImage(foreground, 1)));
    // Kept at its pixel size: a D-Bus host is offered the sizes the icon holds, and a 2x
    // image marked as such would count as a second image of the 1x size.
    QImage twice = squareImage(foreground, 2);
    twice.setDevicePixelRatio(1);
    icon.addPixmap(QPixmap::fromImage(twice));
    return icon;
}

}  // namespace korvu
