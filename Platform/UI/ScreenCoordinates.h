#pragma once

#include <QPointF>
#include <QRectF>

namespace platform {

// Converts between the application's screen space and Qt's.
//
// The application computes its geometry (field frames, button and hint placement, saved
// button offsets) with the origin at the bottom left of the primary screen and y upward.
// Qt's global coordinates have the origin at the top left of the virtual desktop and y
// downward. Conversions happen only at the edge, where a frame comes from the platform or
// a window is moved.
//
// Each function takes the primary screen's geometry in Qt coordinates; the overloads
// without it use the primary screen of the running QGuiApplication (an empty geometry
// when there is none, so the conversions still invert each other).
class ScreenCoordinates {
public:
    static QPointF fromQt(const QPointF& point, const QRectF& primaryScreen);
    static QPointF toQt(const QPointF& point, const QRectF& primaryScreen);
    // A rectangle keeps its size; its origin moves from the top-left to the bottom-left
    // corner and back.
    static QRectF fromQt(const QRectF& rect, const QRectF& primaryScreen);
    static QRectF toQt(const QRectF& rect, const QRectF& primaryScreen);

    static QPointF fromQt(const QPointF& point);
    static QPointF toQt(const QPointF& point);
    static QRectF fromQt(const QRectF& rect);
    static QRectF toQt(const QRectF& rect);

    // The primary screen's geometry in Qt coordinates, or an empty rectangle.
    static QRectF primaryScreenGeometry();
};

}  // namespace platform
