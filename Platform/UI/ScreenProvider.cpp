#include "Platform/UI/ScreenProvider.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include "Platform/UI/ScreenCoordinates.h"

namespace platform {

std::optional<ScreenInfo> ScreenProvider::screenContaining(QPointF point) const
{
    for (const ScreenInfo& screen : screens()) {
        const QRectF& f = screen.frame;
        if (point.x() >= f.left() && point.x() < f.left() + f.width() && point.y() >= f.top()
            && point.y() < f.top() + f.height()) {
            return screen;
        }
    }
    return std::nullopt;
}

std::optional<ScreenInfo> ScreenProvider::screenIntersecting(const QRectF& rect) const
{
    for (const ScreenInfo& screen : screens()) {
        if (screen.frame.intersects(rect)) {
            return screen;
        }
    }
    return std::nullopt;
}

namespace {

bool haveGui() { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr; }

ScreenInfo infoOf(const QScreen& screen, const QRectF& primary)
{
    return {screen.name(), ScreenCoordinates::fromQt(QRectF(screen.geometry()), primary),
            ScreenCoordinates::fromQt(QRectF(screen.availableGeometry()), primary), screen.devicePixelRatio()};
}

}  // namespace

std::vector<ScreenInfo> QtScreenProvider::screens() const
{
    std::vector<ScreenInfo> result;
    if (!haveGui()) {
        return result;
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) {
        return result;
    }
    const QRectF primaryGeometry(primary->geometry());
    result.push_back(infoOf(*primary, primaryGeometry));
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen != primary) {
            result.push_back(infoOf(*screen, primaryGeometry));
        }
    }
    return result;
}

std::optional<ScreenInfo> QtScreenProvider::primaryScreen() const
{
    const QScreen* primary = haveGui() ? QGuiApplication::primaryScreen() : nullptr;
    if (primary == nullptr) {
        return std::nullopt;
    }
    return infoOf(*primary, QRectF(primary->geometry()));
}

QPointF QtScreenProvider::cursorPosition() const
{
    if (!haveGui()) {
        return {};
    }
    return ScreenCoordinates::fromQt(QPointF(QCursor::pos()));
}

}  // namespace platform
