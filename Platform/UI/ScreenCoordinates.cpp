#include "Platform/UI/ScreenCoordinates.h"

#include <QGuiApplication>
#include <QScreen>

namespace platform {

// The primary screen's bottom edge is y = 0 of the y-up space, its left edge x = 0.
// QRectF::bottom() is top + height (unlike QRect's), which is the edge itself.

QPointF ScreenCoordinates::fromQt(const QPointF& point, const QRectF& primaryScreen)
{
    return {point.x() - primaryScreen.left(), primaryScreen.bottom() - point.y()};
}

QPointF ScreenCoordinates::toQt(const QPointF& point, const QRectF& primaryScreen)
{
    return {point.x() + primaryScreen.left(), primaryScreen.bottom() - point.y()};
}

QRectF ScreenCoordinates::fromQt(const QRectF& rect, const QRectF& primaryScreen)
{
    const QPointF bottomLeft = fromQt(QPointF(rect.left(), rect.top() + rect.height()), primaryScreen);
    return {bottomLeft, rect.size()};
}

QRectF ScreenCoordinates::toQt(const QRectF& rect, const QRectF& primaryScreen)
{
    const QPointF topLeft = toQt(QPointF(rect.left(), rect.top() + rect.height()), primaryScreen);
    return {topLeft, rect.size()};
}

QRectF ScreenCoordinates::primaryScreenGeometry()
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return {};
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? QRectF(screen->geometry()) : QRectF();
}

QPointF ScreenCoordinates::fromQt(const QPointF& point) { return fromQt(point, primaryScreenGeometry()); }
QPointF ScreenCoordinates::toQt(const QPointF& point) { return toQt(point, primaryScreenGeometry()); }
QRectF ScreenCoordinates::fromQt(const QRectF& rect) { return fromQt(rect, primaryScreenGeometry()); }
QRectF ScreenCoordinates::toQt(const QRectF& rect) { return toQt(rect, primaryScreenGeometry()); }

}  // namespace platform
