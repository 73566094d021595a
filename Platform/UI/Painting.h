#pragma once

#include <functional>

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>

namespace platform {

// A drop shadow as the drawings describe it. `offset` is in the painter's y-down space, so
// a positive y falls downward. Core Graphics offsets are in an y-up device space: its
// (0, -s) becomes (0, s) here (`fromCoreGraphicsOffset`).
struct Shadow {
    QColor color;
    qreal blur = 0;  // the blur radius; the Gaussian's sigma is half of it
    QPointF offset;

    static QPointF fromCoreGraphicsOffset(QPointF offset) { return {offset.x(), -offset.y()}; }
};

enum class FontWeight { regular, medium, semibold, bold, heavy };

// Drawing helpers shared by the painted widgets and images.
class Painting {
public:
    using PaintFunction = std::function<void(QPainter&)>;

    // Paints `paint` as one layer: the composed shapes cast one shadow (not one per shape)
    // and are then drawn on top of it. `bounds` (in the painter's current coordinates) must
    // hold everything `paint` draws; the shadow may spread beyond it. `paint` gets an
    // antialiased painter with the same user coordinates and resolution as `painter`.
    static void drawWithShadow(QPainter& painter, const QRectF& bounds, const Shadow& shadow,
                               const PaintFunction& paint);

    // Paints `paint` as one layer at `opacity`: overlapping shapes inside it do not show
    // through each other, as a whole view faded by its opacity looks.
    static void drawWithOpacity(QPainter& painter, const QRectF& bounds, qreal opacity, const PaintFunction& paint);

    // Adds an arc given as Core Graphics takes it in a flipped (y-down) space: angles in
    // radians (0 points right, increasing angles turn clockwise on screen); `clockwise`
    // set means the angle decreases from `startAngle` to `endAngle`. A path without a
    // current point starts at the arc's first point; otherwise a line joins them.
    static void cgArc(QPainterPath& path, QPointF centre, qreal radius, qreal startAngle, qreal endAngle,
                      bool clockwise);

    // The application font at a size given in pixels (1 point of the drawings is one
    // logical pixel). Qt sizes fonts in points or whole pixels, so the size becomes
    // points at the screen's logical resolution (`dpi` 0: the primary screen's, else 96).
    static QFont font(qreal pixelSize, FontWeight weight = FontWeight::regular, qreal dpi = 0);
};

}  // namespace platform
