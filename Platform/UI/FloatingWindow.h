#pragma once

#include <QRegion>
#include <QWidget>

namespace platform {

// A small window that floats above every other window: frameless, always on top, on every
// workspace, out of the task bar and the window switcher, and never given the keyboard
// focus, so the application the user types in keeps it while the window comes and goes.
// Where nothing is drawn it is transparent.
//
// A compositing manager blends the transparent parts with what lies beneath; the window's
// content then draws its own shadow. Without one (nobody owns the selection
// _NET_WM_CM_S<screen>) transparent pixels would show as black, so the window is cut to
// its visible shape and the content draws no shadow (`drawsShadow`). Whether a compositor
// runs is asked again at every `orderFront`.
//
// Input: a `shaped` window takes clicks only inside its input shape (on X11 the XShape
// input region, so a click on a transparent corner reaches the window beneath); a
// `clickThrough` window takes no input at all.
class FloatingWindow : public QWidget {
    Q_OBJECT
public:
    enum class Input { shaped, clickThrough };

    explicit FloatingWindow(Input input = Input::shaped);
    ~FloatingWindow() override;

    // The shape that content paints, in widget coordinates; the window is cut to it when
    // no compositor runs. Empty: the whole window.
    void setVisibleShape(const QRegion& shape);
    // Where a shaped window takes clicks, in widget coordinates. Empty: the whole window.
    void setInputShape(const QRegion& shape);

    // Shows the window at its current geometry and raises it above the others, without
    // activating it or this application.
    void orderFront();
    void orderOut();

    // Whether the content should paint its shadow: a compositor ran at the last show.
    bool drawsShadow() const { return compositing_; }

    // Whether a compositing manager runs on the display. Off X11 the platform composites
    // itself (Wayland) or draws into images (offscreen), so the answer is true there.
    static bool compositorRunning();

private:
    void applyShapes();

    Input input_;
    QRegion visibleShape_;
    QRegion inputShape_;
    bool compositing_ = true;
};

}  // namespace platform
