#include "Platform/UI/Painting.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include <QGuiApplication>
#include <QImage>
#include <QScreen>

namespace platform {

namespace {

// One layer: `paint` rendered into an image of device pixels whose top-left pixel lies at
// `origin` in the target's device pixels.
struct Layer {
    QImage image;
    QPoint origin;
};

Layer renderLayer(QPainter& painter, const QRectF& bounds, int padding, const Painting::PaintFunction& paint)
{
    const QRect deviceRect =
        painter.deviceTransform().mapRect(bounds).toAlignedRect().adjusted(-padding, -padding, padding, padding);
    QImage image(deviceRect.size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter layer(&image);
    layer.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    // The target's whole user-to-device mapping (its device pixel ratio, and the offset of a
    // widget rendered into another device, included), moved to the layer's first pixel.
    layer.setWorldTransform(painter.deviceTransform()
                            * QTransform::fromTranslate(-deviceRect.left(), -deviceRect.top()));
    layer.setFont(painter.font());
    paint(layer);
    layer.end();
    return {std::move(image), deviceRect.topLeft()};
}

// Draws an image of device pixels with its first pixel at `devicePoint`. The painter's
// device-dependent part of the mapping (device transform less world transform) is undone,
// since a redirected widget painter reports the widget's ratio, not its target's.
void drawAtDevicePoint(QPainter& painter, QPointF devicePoint, const QImage& image)
{
    bool invertible = false;
    const QTransform world = painter.worldTransform().inverted(&invertible);
    if (!invertible) {
        return;
    }
    const QTransform toDevice = world * painter.deviceTransform();
    const QTransform fromDevice = toDevice.inverted(&invertible);
    if (!invertible) {
        return;
    }
    painter.save();
    painter.setWorldTransform(QTransform::fromTranslate(devicePoint.x(), devicePoint.y()) * fromDevice);
    painter.drawImage(QPointF(0, 0), image);
    painter.restore();
}

// Three box blurs in a row approximate a Gaussian closely (within a few per cent of its
// weights) at a cost that does not grow with the radius, which matters for the large soft
// shadows of panels. The box widths follow the usual derivation from sigma.
std::array<int, 3> boxRadiiFor(double sigma)
{
    constexpr int passes = 3;
    int lower = static_cast<int>(std::floor(std::sqrt(12 * sigma * sigma / passes + 1)));
    if (lower % 2 == 0) {
        --lower;
    }
    const int upper = lower + 2;
    const double idealLower = (12 * sigma * sigma - passes * lower * lower - 4.0 * passes * lower - 3 * passes)
                              / (-4.0 * lower - 4);
    const long atLower = std::lround(idealLower);
    std::array<int, 3> radii{};
    for (int i = 0; i < passes; ++i) {
        radii[i] = ((i < atLower ? lower : upper) - 1) / 2;
    }
    return radii;
}

// One box pass along a line of `count` values `stride` apart; values beyond the ends
// count as transparent.
void boxLine(const float* in, float* out, int count, int stride, int radius)
{
    const float scale = 1.0F / static_cast<float>(2 * radius + 1);
    float sum = 0;
    for (int i = 0; i < std::min(radius, count); ++i) {
        sum += in[static_cast<size_t>(i) * stride];
    }
    for (int i = 0; i < count; ++i) {
        if (i + radius < count) {
            sum += in[static_cast<size_t>(i + radius) * stride];
        }
        out[static_cast<size_t>(i) * stride] = sum * scale;
        if (i - radius >= 0) {
            sum -= in[static_cast<size_t>(i - radius) * stride];
        }
    }
}

// Replaces the image by black with its alpha channel blurred (sigma in pixels): the mask
// that a shadow is tinted from.
void blurAlphaToMask(QImage& image, qreal sigma)
{
    const int width = image.width();
    const int height = image.height();
    std::vector<float> alpha(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            alpha[static_cast<size_t>(y) * width + x] = static_cast<float>(qAlpha(line[x]));
        }
    }
    if (sigma > 0.01) {
        std::vector<float> pass(alpha.size());
        for (const int radius : boxRadiiFor(sigma)) {
            if (radius == 0) {
                continue;
            }
            for (int y = 0; y < height; ++y) {
                boxLine(&alpha[static_cast<size_t>(y) * width], &pass[static_cast<size_t>(y) * width], width, 1, radius);
            }
            for (int x = 0; x < width; ++x) {
                boxLine(&pass[x], &alpha[x], height, width, radius);
            }
        }
    }
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int a = std::clamp(static_cast<int>(std::lround(alpha[static_cast<size_t>(y) * width + x])), 0, 255);
            line[x] = qRgba(0, 0, 0, a);
        }
    }
}

}  // namespace

void Painting::drawWithShadow(QPainter& painter, const QRectF& bounds, const Shadow& shadow, const PaintFunction& paint)
{
    const QTransform device = painter.deviceTransform();
    const qreal scale = std::sqrt(std::abs(device.determinant()));
    const qreal sigma = shadow.blur / 2 * scale;
    const QPointF offset = device.map(shadow.offset) - device.map(QPointF(0, 0));
    const int padding = static_cast<int>(std::ceil(3 * sigma)) + 1;

    const Layer layer = renderLayer(painter, bounds, padding, paint);
    if (shadow.color.alpha() > 0) {
        QImage mask = layer.image;
        blurAlphaToMask(mask, sigma);
        QPainter tint(&mask);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(mask.rect(), shadow.color);
        tint.end();
        drawAtDevicePoint(painter, QPointF(layer.origin) + offset, mask);
    }
    drawAtDevicePoint(painter, QPointF(layer.origin), layer.image);
}

void Painting::drawWithOpacity(QPainter& painter, const QRectF& bounds, qreal opacity, const PaintFunction& paint)
{
    if (opacity >= 1) {
        painter.save();
        paint(painter);
        painter.restore();
        return;
    }
    const Layer layer = renderLayer(painter, bounds, 1, paint);
    painter.save();
    painter.setOpacity(painter.opacity() * std::max<qreal>(opacity, 0));
    drawAtDevicePoint(painter, QPointF(layer.origin), layer.image);
    painter.restore();
}

void Painting::cgArc(QPainterPath& path, QPointF centre, qreal radius, qreal startAngle, qreal endAngle, bool clockwise)
{
    constexpr qreal full = 2 * std::numbers::pi;
    qreal delta = endAngle - startAngle;
    // Core Graphics goes the other way round when the angles run against the direction,
    // and never more than one whole turn.
    if (clockwise) {
        if (delta > 0) {
            delta = std::fmod(delta, full);
            if (delta > 0) {
                delta -= full;
            }
        }
        delta = std::max(delta, -full);
    } else {
        if (delta < 0) {
            delta = std::fmod(delta, full);
            if (delta < 0) {
                delta += full;
            }
        }
        delta = std::min(delta, full);
    }
    // Qt measures degrees counter-clockwise on screen; the flipped space's angles turn
    // clockwise on screen, hence the signs. A spinner's angle grows without bound, so only
    // its remainder reaches Qt.
    const qreal start = -std::fmod(startAngle, full) * 180 / std::numbers::pi;
    const qreal sweep = -delta * 180 / std::numbers::pi;
    const QRectF rect(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    if (path.elementCount() == 0) {
        path.arcMoveTo(rect, start);
    }
    path.arcTo(rect, start, sweep);
}

QFont Painting::font(qreal pixelSize, FontWeight weight, qreal dpi)
{
    const bool gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    if (dpi <= 0) {
        const QScreen* screen = gui ? QGuiApplication::primaryScreen() : nullptr;
        dpi = screen != nullptr ? screen->logicalDotsPerInchY() : 96.0;
    }
    QFont font = gui ? QGuiApplication::font() : QFont();
    font.setPointSizeF(pixelSize * 72.0 / dpi);
    switch (weight) {
    case FontWeight::regular: font.setWeight(QFont::Normal); break;
    case FontWeight::medium: font.setWeight(QFont::Medium); break;
    case FontWeight::semibold: font.setWeight(QFont::DemiBold); break;
    case FontWeight::bold: font.setWeight(QFont::Bold); break;
    case FontWeight::heavy: font.setWeight(QFont::ExtraBold); break;
    }
    return font;
}

}  // namespace platform
