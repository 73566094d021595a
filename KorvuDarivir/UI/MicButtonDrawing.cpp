#include "KorvuDarivir/UI/MicButtonDrawing.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <QPainterPath>

#include "KorvuDarivir/UI/Brand.h"
#include "Platform/UI/Painting.h"

namespace korvu {

namespace {

constexpr double pi = std::numbers::pi;

// Pure white; Brand::white is a greyer white used only where named.
QColor white(double alpha = 1.0)
{
    return QColor::fromRgbF(1, 1, 1, static_cast<float>(alpha));
}

QColor withAlpha(QColor colour, double alpha)
{
    colour.setAlphaF(static_cast<float>(alpha));
    return colour;
}

QPen strokePen(const QColor& colour, double width, Qt::PenCapStyle cap = Qt::FlatCap)
{
    QPen pen(colour, width, Qt::SolidLine, cap, Qt::MiterJoin);
    return pen;
}

void fillDisc(QPainter& p, const QColor& colour)
{
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(0, 0, 26, 26));
}

// A ring of `width` stroked on the ellipse inset by `inset`, so it stays inside the disc.
void strokeRing(QPainter& p, double width, double inset, const QColor& colour)
{
    p.setPen(strokePen(colour, width));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(inset, inset, 26 - 2 * inset, 26 - 2 * inset));
}

void fillRounded(QPainter& p, const QRectF& rect, double radius, const QColor& colour)
{
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(rect, radius, radius);
}

void strokeArc(QPainter& p, QPointF centre, double radius, double from, double to, bool clockwise,
               const QPen& pen)
{
    QPainterPath path;
    platform::Painting::cgArc(path, centre, radius, from, to, clockwise);
    p.strokePath(path, pen);
}

void strokeLine(QPainter& p, QPointF from, QPointF to, const QPen& pen)
{
    p.setPen(pen);
    p.drawLine(QLineF(from, to));
}

// Head, holder and stand: the big microphone of idle and hover, the small one of load.
void drawMicrophone(QPainter& p, const QRectF& head, double holderRadius, QPointF standFrom, QPointF standTo,
                    double width, const QColor& colour)
{
    fillRounded(p, head, head.width() / 2, colour);
    const QPen pen = strokePen(colour, width, Qt::RoundCap);
    strokeArc(p, {13, 12.6}, holderRadius, pi, 0, true, pen);
    strokeLine(p, standFrom, standTo, pen);
}

double unitLevel(double level) { return std::isnan(level) ? 0.0 : std::clamp(level, 0.0, 1.0); }

}  // namespace

void MicButtonDrawing::draw(QPainter& painter, const QRectF& bounds, const MicButtonState& state, bool hovering,
                            double level, double spin, bool withShadow)
{
    const double s = bounds.width() / 38;
    const MicButtonState look = (state == MicButtonState::idle && hovering) ? MicButtonState::hover : state;
    // The composed glyph casts one shadow, 1 point below it at scale 1.
    const platform::Shadow shadow{QColor::fromRgbF(0, 0, 0, withShadow ? 0.28F : 0.0F), 1.5 * s,
                                  platform::Shadow::fromCoreGraphicsOffset({0, -s})};
    platform::Painting::drawWithShadow(painter, bounds, shadow, [&](QPainter& p) {
        p.translate(bounds.topLeft() + QPointF(6 * s, 6 * s));
        p.scale(s, s);
        drawGlyph(look, p, level, spin);
    });
}

void MicButtonDrawing::drawGlyph(const MicButtonState& state, QPainter& p, double level, double spin)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    switch (state.kind()) {
    case MicButtonState::Kind::idle:
    case MicButtonState::Kind::hover: {
        const bool hover = state.kind() == MicButtonState::Kind::hover;
        if (hover) {
            p.translate(13, 13);
            p.scale(1.08, 1.08);
            p.translate(-13, -13);
        }
        fillDisc(p, hover ? Brand::mediumPurple : Brand::darkPurple);
        strokeRing(p, 1.2, 0.6, white(hover ? 0.95 : 0.85));
        drawMicrophone(p, {10.4, 6, 5.2, 9}, 4.8, {13, 17.4}, {13, 19.8}, 1.5, white());
        break;
    }
    case MicButtonState::Kind::load: {
        fillDisc(p, Brand::darkPurple);
        strokeRing(p, 2, 3, white(0.22));
        // NaN is not above 0 and draws no progress.
        const double progress = state.progress();
        if (progress > 0) {
            strokeArc(p, {13, 13}, 10, -pi / 2, std::min(progress, 1.0) * 2 * pi - pi / 2, false,
                      strokePen(Brand::lightPurple, 2, Qt::RoundCap));
        }
        drawMicrophone(p, {11.2, 8.4, 3.6, 6}, 3.4, {13, 16}, {13, 17.6}, 1.2, white(0.55));
        break;
    }
    case MicButtonState::Kind::rec: {
        // The level comes from the microphone; anything outside 0...1 would push the halo
        // out of the view (or make it NaN).
        const double l = unitLevel(level);
        const double r = 15 * (1 + 0.2 * l);
        p.setPen(strokePen(withAlpha(Brand::orangyRed, 0.3 + 0.6 * l), 2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(13 - r, 13 - r, 2 * r, 2 * r));
        fillDisc(p, Brand::orangyRed);
        strokeRing(p, 1.2, 0.6, white(0.85));
        fillRounded(p, {9.25, 9.25, 7.5, 7.5}, 1.6, white());
        break;
    }
    case MicButtonState::Kind::proc: {
        fillDisc(p, Brand::lightPurple);
        strokeRing(p, 1.2, 0.6, Brand::darkPurple);
        p.setPen(strokePen(withAlpha(Brand::darkPurple, 0.2), 2));
        p.drawEllipse(QRectF(7, 7, 12, 12));
        const double angle = std::isfinite(spin) ? spin : 0.0;
        strokeArc(p, {13, 13}, 6, angle, angle + 2.0, false, strokePen(Brand::darkPurple, 2, Qt::RoundCap));
        break;
    }
    case MicButtonState::Kind::ok: {
        fillDisc(p, Brand::green);
        strokeRing(p, 1.2, 0.6, Brand::darkGreen);
        QPainterPath tick;
        tick.moveTo(8.3, 13.4);
        tick.lineTo(11.4, 16.5);
        tick.lineTo(17.7, 9.9);
        p.strokePath(tick, QPen(Brand::deepGreen, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        break;
    }
    case MicButtonState::Kind::err:
        fillDisc(p, Brand::white);
        strokeRing(p, 1.6, 0.8, Brand::orangyRed);
        fillRounded(p, {11.9, 6.8, 2.2, 8}, 1.1, Brand::darkRed);
        p.setPen(Qt::NoPen);
        p.setBrush(Brand::darkRed);
        p.drawEllipse(QRectF(11.65, 17.05, 2.7, 2.7));
        break;
    }
    p.restore();
}

}  // namespace korvu
