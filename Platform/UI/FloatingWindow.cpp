#include "Platform/UI/FloatingWindow.h"

#include "Platform/Input/X11Display.h"

#include <QByteArray>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <vector>

namespace platform {

namespace {

Qt::WindowFlags flagsFor(FloatingWindow::Input input)
{
    // A tool window bypassing the window manager (override-redirect) is on every workspace
    // and out of the task bar and the window switcher by itself; it never takes the focus.
    Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                            Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint;
    if (input == FloatingWindow::Input::clickThrough) {
        flags |= Qt::WindowTransparentForInput;
    }
    return flags;
}

}  // namespace

FloatingWindow::FloatingWindow(Input input) : QWidget(nullptr, flagsFor(input)), input_(input)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
}

FloatingWindow::~FloatingWindow() = default;

void FloatingWindow::setVisibleShape(const QRegion& shape)
{
    visibleShape_ = shape;
    applyShapes();
}

void FloatingWindow::setInputShape(const QRegion& shape)
{
    inputShape_ = shape;
    applyShapes();
}

void FloatingWindow::orderFront()
{
    compositing_ = compositorRunning();
    // The native window exists before it is mapped, so its shapes hold from the first
    // moment it is on screen.
    winId();
    applyShapes();
    show();
    raise();
}

void FloatingWindow::orderOut() { hide(); }

bool FloatingWindow::compositorRunning()
{
    const std::optional<X11Display> x11 = X11Display::current();
    if (!x11) {
        return true;
    }
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(x11->display));
    const Atom selection = XInternAtom(x11->display, name.constData(), False);
    return selection != None && XGetSelectionOwner(x11->display, selection) != None;
}

void FloatingWindow::applyShapes()
{
    // Without a compositor the window is cut to what it paints; the cut also bounds where
    // it takes input.
    if (!compositing_ && !visibleShape_.isEmpty()) {
        setMask(visibleShape_);
    } else {
        clearMask();
    }
    if (input_ != Input::shaped || !testAttribute(Qt::WA_WState_Created)) {
        return;
    }
    const std::optional<X11Display> x11 = X11Display::current();
    if (!x11) {
        return;
    }
    // Qt's own mask sets only the bounding shape; the input region is X11's own.
    const auto window = static_cast<Window>(winId());
    if (inputShape_.isEmpty()) {
        XShapeCombineMask(x11->display, window, ShapeInput, 0, 0, None, ShapeSet);
    } else {
        const qreal ratio = devicePixelRatioF();
        std::vector<XRectangle> rectangles;
        for (const QRect& r : inputShape_) {
            const QRect device(QPoint(qRound(r.left() * ratio), qRound(r.top() * ratio)),
                               QPoint(qRound((r.right() + 1) * ratio) - 1, qRound((r.bottom() + 1) * ratio) - 1));
            rectangles.push_back({static_cast<short>(device.x()), static_cast<short>(device.y()),
                                  static_cast<unsigned short>(device.width()),
                                  static_cast<unsigned short>(device.height())});
        }
        XShapeCombineRectangles(x11->display, window, ShapeInput, 0, 0, rectangles.data(),
                                static_cast<int>(rectangles.size()), ShapeSet, Unsorted);
    }
    XFlush(x11->display);
}

}  // namespace platform
