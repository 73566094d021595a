#include "KorvuDarivir/App/IconRenderer.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>
#include <cstdio>
#include <vector>

namespace korvu {

namespace {

constexpr double canvas = 1024.0;
constexpr double margin = 100.0;
constexpr double artSide = 824.0;
constexpr double shadowAlpha = 0.3;
constexpr double shadowOffset = 10.0;  // downward, on the 1024 canvas
constexpr double shadowBlurRadius = 20.0;

// Blurs one channel of `values` (width × height) in place with a Gaussian of the given
// sigma, as two separable passes.
void gaussianBlur(std::vector<float>& values, int width, int height, double sigma)
{
    if (sigma < 0.3) {
        return;
    }
    const int radius = static_cast<int>(std::ceil(sigma * 3.0));
    std::vector<float> kernel(2 * radius + 1);
    double sum = 0.0;
    for (int i = -radius; i <= radius; ++i) {
        kernel[i + radius] = static_cast<float>(std::exp(-(i * i) / (2.0 * sigma * sigma)));
        sum += kernel[i + radius];
    }
    for (float& k : kernel) {
        k = static_cast<float>(k / sum);
    }
    std::vector<float> pass(values.size());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float acc = 0.0f;
            for (int i = -radius; i <= radius; ++i) {
                const int sx = x + i;
                if (sx >= 0 && sx < width) {
                    acc += kernel[i + radius] * values[y * width + sx];
                }
            }
            pass[y * width + x] = acc;
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float acc = 0.0f;
            for (int i = -radius; i <= radius; ++i) {
                const int sy = y + i;
                if (sy >= 0 && sy < height) {
                    acc += kernel[i + radius] * pass[sy * width + x];
                }
            }
            values[y * width + x] = acc;
        }
    }
}

// The artwork's shadow: its coverage in black at 30 %, blurred and moved down.
QImage shadowOf(const QImage& art, double scale)
{
    const int width = art.width();
    const int height = art.height();
    std::vector<float> alpha(static_cast<size_t>(width) * height, 0.0f);
    const int dy = static_cast<int>(std::lround(shadowOffset * scale));
    for (int y = 0; y < height; ++y) {
        const int ty = y + dy;
        if (ty < 0 || ty >= height) {
            continue;
        }
        const auto* line = reinterpret_cast<const QRgb*>(art.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            alpha[ty * width + x] = qAlpha(line[x]) / 255.0f;
        }
    }
    // A blur radius of 20 points reads as a Gaussian whose sigma is half of it.
    gaussianBlur(alpha, width, height, shadowBlurRadius * scale / 2.0);
    QImage shadow(width, height, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(shadow.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int a = std::clamp(static_cast<int>(std::lround(alpha[y * width + x] * shadowAlpha * 255.0)), 0, 255);
            line[x] = qRgba(0, 0, 0, a);
        }
    }
    return shadow;
}

QImage renderImage(QSvgRenderer& svg, int pixels)
{
    const double scale = pixels / canvas;
    QImage art(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    if (art.isNull()) {
        return {};
    }
    art.fill(Qt::transparent);
    {
        QPainter painter(&art);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        svg.render(&painter, QRectF(margin * scale, margin * scale, artSide * scale, artSide * scale));
    }
    QImage image = shadowOf(art, scale);
    QPainter painter(&image);
    painter.drawImage(0, 0, art);
    return image;
}

}  // namespace

std::optional<IconRenderer::Request> IconRenderer::request(const QStringList& arguments)
{
    const qsizetype at = arguments.indexOf(QStringLiteral("--render-icon"), 1);
    if (at < 0 || arguments.size() - at - 1 < 2) {
        return std::nullopt;
    }
    return Request{arguments[at + 1], arguments[at + 2]};
}

QString IconRenderer::fileName(int size, int scale)
{
    return QStringLiteral("icon_%1x%1%2").arg(size).arg(scale == 2 ? QStringLiteral("@2x.png") : QStringLiteral(".png"));
}

bool IconRenderer::render(const QString& folder, const QString& svg)
{
    QFile file(svg);
    QSvgRenderer renderer;
    if (!file.open(QIODevice::ReadOnly) || !renderer.load(file.readAll()) || !renderer.isValid()) {
        const QByteArray message = ("SVG nicht lesbar: " + svg + "\n").toUtf8();
        std::fwrite(message.constData(), 1, static_cast<size_t>(message.size()), stderr);
        std::fflush(stderr);
        return false;
    }
    QDir().mkpath(folder);
    const QDir out(folder);
    for (const int size : sizes) {
        for (const int scale : {1, 2}) {
            const QImage image = renderImage(renderer, size * scale);
            if (!image.isNull()) {
                image.save(out.filePath(fileName(size, scale)), "PNG");
            }
        }
    }
    return true;
}

}  // namespace korvu
