#include "Platform/UI/ScreenProvider.h"

#include <algorithm>

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

std::optional<ScreenProvider::Placed> ScreenProvider::fromDevicePixels(const QRectF& deviceRect) const
{
    const std::vector<ScreenInfo> all = screens();
    if (all.empty()) {
        return std::nullopt;
    }
    // The root's origin in y-up space: the leftmost left edge, the highest top edge.
    qreal rootLeft = all.front().frame.left();
    qreal rootTop = all.front().frame.top() + all.front().frame.height();
    for (const ScreenInfo& screen : all) {
        rootLeft = std::min(rootLeft, screen.frame.left());
        rootTop = std::max(rootTop, screen.frame.top() + screen.frame.height());
    }
    // Flipped, not yet scaled: device pixels with y upward from the root's top.
    const QRectF flipped(rootLeft + deviceRect.left(), rootTop - deviceRect.top() - deviceRect.height(),
                         deviceRect.width(), deviceRect.height());
    const auto ratioOf = [](const ScreenInfo& screen) {
        return screen.devicePixelRatio > 0 ? screen.devicePixelRatio : 1.0;
    };
    const ScreenInfo* chosen = &all.front();
    for (const ScreenInfo& screen : all) {
        const qreal ratio = ratioOf(screen);
        const qreal top = screen.frame.top() + screen.frame.height();
        const QRectF deviceArea(screen.frame.left(), top - screen.frame.height() * ratio, screen.frame.width() * ratio,
                                screen.frame.height() * ratio);
        if (deviceArea.intersects(flipped)) {
            chosen = &screen;
            break;
        }
    }
    // Scaled about the screen's top-left corner, which device and logical space share.
    const qreal ratio = ratioOf(*chosen);
    const qreal left = chosen->frame.left();
    const qreal top = chosen->frame.top() + chosen->frame.height();
    const QRectF logical(left + (flipped.left() - left) / ratio, top - (top - flipped.top()) / ratio,
                         flipped.width() / ratio, flipped.height() / ratio);
    return Placed{logical, *chosen};
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
