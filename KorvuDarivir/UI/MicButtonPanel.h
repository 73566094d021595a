#pragma once

#include "KorvuDarivir/UI/MicButtonView.h"
#include "Platform/UI/FloatingWindow.h"
#include "Platform/UI/Scheduler.h"
#include "Platform/UI/ScreenProvider.h"

#include <QPointF>
#include <QRectF>

#include <memory>
#include <optional>

namespace korvu {

// The floating window of the microphone button: 38 x 38 points, always on top, never
// focused, taking clicks only on the button's disc. The dictation controller places it
// beside the focused field and hides it with `orderOut`.
//
// Geometry is in the application's screen space (origin at the bottom left of the primary
// screen, y upward). The 26-point glyph is the panel's frame inset by 6 on every side.
class MicButtonPanel : public platform::FloatingWindow {
    Q_OBJECT
public:
    static constexpr qreal side = 38;
    static constexpr qreal inset = 6;
    static constexpr qreal glyph = 26;

    // On the application's screens and timers.
    MicButtonPanel();
    // On the given screens and timers (tests); both must outlive the panel.
    MicButtonPanel(const platform::ScreenProvider& screens, platform::Scheduler& scheduler);
    ~MicButtonPanel() override;

    MicButtonView* button() const { return button_; }

    // Where the glyph would stand beside the current field before the user's offset; the
    // dictation controller sets and clears it.
    std::optional<QPointF> standardOrigin;

    // Moves the glyph's bottom-left corner to `buttonOrigin`, kept inside the visible
    // frame of its screen, and shows the panel in front without activating anything.
    void place(QPointF buttonOrigin);

    // The panel's frame in screen space (it follows a drag).
    QRectF frame() const;

    // The glyph origin that `place` uses for `point` (pure): clamped to the visible frame
    // of the first screen containing the point, else the primary screen's; unchanged
    // when there is no screen at all.
    static QPointF clampButtonOrigin(QPointF point, const platform::ScreenProvider& screens);

private:
    void setUp(platform::Scheduler* scheduler);
    void updateShapes();

    std::unique_ptr<platform::ScreenProvider> ownedScreens_;
    const platform::ScreenProvider* screens_;
    MicButtonView* button_ = nullptr;
};

}  // namespace korvu
