#pragma once

#include <optional>
#include <vector>

#include <QPointF>
#include <QRectF>
#include <QString>

namespace platform {

// One screen in the application's y-up space (origin at the bottom left of the primary
// screen): its whole frame, the area that panels and docks leave free, and how many device
// pixels make one logical pixel.
struct ScreenInfo {
    QString name;
    QRectF frame;
    QRectF availableArea;
    qreal devicePixelRatio = 1.0;

    friend bool operator==(const ScreenInfo&, const ScreenInfo&) = default;
};

// The screens and the pointer, in y-up space. The Qt backend reads them from the running
// application (`QtScreenProvider`); tests use `fakes::FakeScreenProvider` (tests/fakes/).
class ScreenProvider {
public:
    virtual ~ScreenProvider() = default;

    // Every screen, the primary first when there is one; empty without a display.
    virtual std::vector<ScreenInfo> screens() const = 0;
    virtual std::optional<ScreenInfo> primaryScreen() const = 0;
    virtual QPointF cursorPosition() const = 0;

    // The first screen whose frame contains `point` (left and bottom edges inside, right
    // and top edges outside, so a point on a shared edge belongs to one screen).
    std::optional<ScreenInfo> screenContaining(QPointF point) const;
    // The first screen whose frame overlaps `rect`.
    std::optional<ScreenInfo> screenIntersecting(const QRectF& rect) const;

    // A rectangle that another program reported in device pixels of the X root window
    // (accessibility extents are device pixels on a scaled screen) as the y-up logical
    // rectangle it covers, with the screen it lies on: the first screen whose device area
    // it overlaps, else the primary. Qt keeps a screen's top-left corner where the device
    // puts it and scales from there, and the root's origin is the top-left corner of all
    // screens together. Empty without screens.
    struct Placed {
        QRectF rect;
        ScreenInfo screen;
    };
    std::optional<Placed> fromDevicePixels(const QRectF& deviceRect) const;
};

// The screens of the running QGuiApplication, converted by ScreenCoordinates.
class QtScreenProvider final : public ScreenProvider {
public:
    std::vector<ScreenInfo> screens() const override;
    std::optional<ScreenInfo> primaryScreen() const override;
    QPointF cursorPosition() const override;
};

}  // namespace platform
