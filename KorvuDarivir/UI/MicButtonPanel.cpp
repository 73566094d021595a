#include "KorvuDarivir/UI/MicButtonPanel.h"

#include "Platform/UI/ScreenCoordinates.h"

#include <algorithm>

namespace korvu {

namespace {

// The drawn disc reaches 13 points, 14 when hovered (scaled by 1.08); the recording halo
// reaches 19 at full level.
constexpr qreal kDrawnRadius = 14.5;
constexpr qreal kRecordingRadius = 19;

}  // namespace

MicButtonPanel::MicButtonPanel()
    : platform::FloatingWindow(Input::shaped),
      ownedScreens_(std::make_unique<platform::QtScreenProvider>()),
      screens_(ownedScreens_.get())
{
    setUp(nullptr);
}

MicButtonPanel::MicButtonPanel(const platform::ScreenProvider& screens, platform::Scheduler& scheduler)
    : platform::FloatingWindow(Input::shaped), screens_(&screens)
{
    setUp(&scheduler);
}

MicButtonPanel::~MicButtonPanel() = default;

void MicButtonPanel::setUp(platform::Scheduler* scheduler)
{
    resize(int(side), int(side));
    button_ = new MicButtonView(this, scheduler);
    button_->setGeometry(0, 0, int(side), int(side));
    connect(button_, &MicButtonView::accessibilityLabelChanged, this, &MicButtonPanel::updateShapes);
    updateShapes();
}

void MicButtonPanel::updateShapes()
{
    const bool recording = button_->state().kind() == MicButtonState::Kind::rec;
    setVisibleShape(MicButtonView::discRegion(side, recording ? kRecordingRadius : kDrawnRadius));
    setInputShape(MicButtonView::discRegion(side, MicButtonView::hitRadius));
}

QPointF MicButtonPanel::clampButtonOrigin(QPointF point, const platform::ScreenProvider& screens)
{
    std::optional<platform::ScreenInfo> screen = screens.screenContaining(point);
    if (!screen) {
        screen = screens.primaryScreen();
    }
    if (!screen) {
        return point;
    }
    // y-up: a QRectF's y() is its bottom edge. Not std::clamp: on a visible frame
    // narrower than the glyph the upper limit must win.
    const QRectF v = screen->availableArea;
    const qreal x = std::min(std::max(point.x(), v.x()), v.x() + v.width() - glyph);
    const qreal y = std::min(std::max(point.y(), v.y()), v.y() + v.height() - glyph);
    return {x, y};
}

void MicButtonPanel::place(QPointF buttonOrigin)
{
    const QPointF origin = clampButtonOrigin(buttonOrigin, *screens_) - QPointF(inset, inset);
    const QRectF frame(origin, QSizeF(side, side));
    move(platform::ScreenCoordinates::toQt(frame).topLeft().toPoint());
    orderFront();
}

QRectF MicButtonPanel::frame() const
{
    return platform::ScreenCoordinates::fromQt(QRectF(QPointF(pos()), QSizeF(size())));
}

}  // namespace korvu
