#pragma once

#include "KorvuDarivir/Store/MicButtonState.h"
#include "Platform/UI/Scheduler.h"

#include <QPointF>
#include <QRegion>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>

namespace korvu {

// The floating microphone button: draws the look of its state, animates the recording and
// processing looks, and turns mouse input into a click, a hover change or a drag of its
// window. Its geometry scales with its width (38 points at scale 1): the glyph is the
// square inset by 6, the clickable area the disc of radius 14 around the centre.
//
// For screen readers it is a push button whose name is the state's label and whose press
// action clicks it; every change of state is announced.
class MicButtonView : public QWidget {
    Q_OBJECT
public:
    // The latest microphone level 0...1, written by the dictation controller on the main
    // thread; only the animation tick reads it.
    static inline double inputLevel = 0;

    static constexpr qreal baseSide = 38;
    static constexpr qreal hitRadius = 14;
    static constexpr qreal dragThreshold = 3;
    static constexpr std::chrono::milliseconds tickInterval{16};

    // On the application's timers, or on `scheduler` (tests; it must outlive the view).
    explicit MicButtonView(QWidget* parent = nullptr, platform::Scheduler* scheduler = nullptr);
    ~MicButtonView() override;

    const MicButtonState& state() const { return state_; }
    // A state equal to the current one changes nothing.
    void setState(const MicButtonState& state);

    std::function<void()> onClick;
    std::function<void(bool hovering)> onHoverChange;
    // Asked at each press: a draggable button clicks on release, and a press that moved
    // more than 3 points drags the window instead.
    std::function<bool()> isDraggable;
    std::function<void()> onDragEnded;

    // What a screen reader says; the press action calls `onClick`.
    QString accessibilityLabel() const { return state_.accessibilityLabel(); }
    void accessibilityPerformPress();

    // Whether a press at `point` (widget coordinates) reaches the button.
    bool hitTest(QPointF point) const;

    // One animation step; runs every 16 ms while recording or processing and visible.
    void tick();
    bool isAnimating() const { return animation_.isActive(); }
    bool isHovering() const { return hovering_; }
    double level() const { return level_; }
    double spin() const { return spin_; }

    // The clickable disc (and, without a compositor, the visible shape) of a view this wide.
    static QRegion discRegion(qreal side, qreal radius);

signals:
    // The state changed and assistive technology was told the label again.
    void accessibilityLabelChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void stateDidChange();
    void setHovering(bool hovering);
    void stopAnimation();
    void click();

    std::unique_ptr<platform::Scheduler> ownedScheduler_;
    platform::Scheduler* scheduler_;
    MicButtonState state_ = MicButtonState::idle;
    bool hovering_ = false;
    double level_ = 0;
    double spin_ = 0;
    platform::SchedulerToken animation_;

    // A press that may become a drag.
    bool pressed_ = false;
    bool dragging_ = false;
    QPointF pressPoint_;   // global
    QPoint windowOrigin_;  // the window's position at the press
};

}  // namespace korvu
