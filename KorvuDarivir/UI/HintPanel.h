#pragma once

#include "KorvuDarivir/UI/Hint.h"
#include "Platform/UI/FloatingWindow.h"
#include "Platform/UI/Scheduler.h"
#include "Platform/UI/ScreenProvider.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace korvu {

class HintPill;
class TooltipLabel;

// A click-through floating panel that shows one hint pill or one tooltip at a time, beside
// an anchor rectangle, and hides itself after a while (3 s for a hint, 5 s for a tooltip;
// the newest show wins). It never takes the keyboard focus. Each owner keeps one panel and
// reuses it: a show swaps the content and moves the window, it creates none.
//
// Geometry is in the application's screen space (origin at the bottom left of the primary
// screen, y upward). The panel keeps a transparent margin of `pad` around the visible pill
// or label, where its shadow falls; the placement arithmetic adds or subtracts it.
class HintPanel : public platform::FloatingWindow {
    Q_OBJECT
public:
    static constexpr qreal pad = 14;
    static constexpr std::chrono::milliseconds hintDuration{3000};
    static constexpr std::chrono::milliseconds tooltipDuration{5000};

    // On the application's screens and timers.
    HintPanel();
    // On the given screens and timers (tests); both must outlive the panel.
    HintPanel(const platform::ScreenProvider& screens, platform::Scheduler& scheduler);
    ~HintPanel() override;

    // Shows the hint as a pill beside `anchor` (left of it, or right of it when there is
    // no room on the left); no anchor means beside the mouse pointer. An error hint beeps.
    void show(const Hint& hint, std::optional<QRectF> anchor);
    // Shows `text` as a one-line tooltip below the anchor's right edge.
    void showTooltip(const QString& text, const QRectF& anchor);
    // Hides the panel at once; a pending automatic hide is cancelled.
    void hide();

    // The panel's last frame, margins included, in screen space.
    QRectF frame() const { return frame_; }
    // The sound of an error hint; the system's alert sound unless replaced.
    void setBeep(std::function<void()> beep) { beep_ = std::move(beep); }

    // Placement, in screen space (pure).
    // The visible frame that bounds a panel at `anchor`: that of the first screen whose
    // frame meets the anchor, else the primary screen's, else the anchor itself.
    static QRectF screenBounds(const platform::ScreenProvider& screens, const QRectF& anchor);
    // A hint panel of `size` left of the anchor, or right of it when the visible pill
    // would begin left of `bounds`; vertically centred on the anchor.
    static QPointF hintOrigin(QSizeF size, const QRectF& anchor, const QRectF& bounds);
    // A tooltip panel whose visible label ends 6 right of the anchor and starts 4 below it.
    static QPointF tooltipOrigin(QSizeF size, const QRectF& anchor);
    // Keeps the visible part inside `bounds`; only the margin may reach past them. The
    // lower limits are applied first, so an oversized panel keeps its right and top edges.
    static QPointF clampOrigin(QSizeF size, QPointF origin, const QRectF& bounds);

private:
    void setUp();
    void present(QWidget* content, QPointF origin, QSizeF size, const QRectF& bounds);
    void hideAfter(std::chrono::milliseconds delay);

    std::unique_ptr<platform::ScreenProvider> ownedScreens_;
    std::unique_ptr<platform::Scheduler> ownedScheduler_;
    const platform::ScreenProvider* screens_;
    platform::Scheduler* scheduler_;
    HintPill* pill_ = nullptr;
    TooltipLabel* tooltip_ = nullptr;
    platform::SchedulerToken hideTask_;
    std::function<void()> beep_;
    QRectF frame_;
};

}  // namespace korvu
