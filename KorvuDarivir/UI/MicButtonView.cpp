#include "KorvuDarivir/UI/MicButtonView.h"

#include "KorvuDarivir/UI/MicButtonDrawing.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <numbers>

namespace korvu {

namespace {

// The button as assistive technology sees it: a push button named by its label, with a
// press action.
class MicButtonAccessible : public QAccessibleWidget {
public:
    explicit MicButtonAccessible(MicButtonView* view) : QAccessibleWidget(view, QAccessible::Button) {}

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name) {
            return button()->accessibilityLabel();
        }
        return QAccessibleWidget::text(kind);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override
    {
        if (name == pressAction()) {
            button()->accessibilityPerformPress();
        }
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    MicButtonView* button() const { return static_cast<MicButtonView*>(widget()); }
};

QAccessibleInterface* accessibleFor(const QString& className, QObject* object)
{
    if (className == QLatin1String(MicButtonView::staticMetaObject.className()) && object != nullptr) {
        return new MicButtonAccessible(static_cast<MicButtonView*>(object));
    }
    return nullptr;
}

bool isAnimated(const MicButtonState& state)
{
    return state.kind() == MicButtonState::Kind::rec || state.kind() == MicButtonState::Kind::proc;
}

}  // namespace

MicButtonView::MicButtonView(QWidget* parent, platform::Scheduler* scheduler)
    : QWidget(parent),
      ownedScheduler_(scheduler == nullptr ? std::make_unique<platform::QtScheduler>() : nullptr),
      scheduler_(scheduler == nullptr ? ownedScheduler_.get() : scheduler)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleFor);
        return true;
    }();
    (void)factoryInstalled;
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::NoFocus);
    setMouseTracking(true);
}

MicButtonView::~MicButtonView() = default;

void MicButtonView::setState(const MicButtonState& state)
{
    if (state == state_) {
        return;
    }
    state_ = state;
    stateDidChange();
}

void MicButtonView::stateDidChange()
{
    update();
    if (isAnimated(state_)) {
        if (!animation_.isActive() && isVisible()) {
            animation_ = scheduler_->repeat(tickInterval, [this] { tick(); });
        }
    } else {
        stopAnimation();
        level_ = 0;
    }
    // Every change of state changes what the button means, recording to processing too,
    // so assistive technology always hears the new label.
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
    emit accessibilityLabelChanged();
}

void MicButtonView::stopAnimation() { animation_.cancel(); }

void MicButtonView::tick()
{
    level_ += (inputLevel - level_) * 0.25;
    spin_ += std::numbers::pi / 27;  // one turn every 54 ticks
    update();
}

void MicButtonView::accessibilityPerformPress() { click(); }

void MicButtonView::click()
{
    if (onClick) {
        onClick();
    }
}

bool MicButtonView::hitTest(QPointF point) const
{
    const QPointF centre(width() / 2.0, height() / 2.0);
    const QPointF d = point - centre;
    return std::hypot(d.x(), d.y()) <= width() / baseSide * hitRadius;
}

QRegion MicButtonView::discRegion(qreal side, qreal radius)
{
    QPainterPath path;
    const qreal r = side / baseSide * radius;
    path.addEllipse(QPointF(side / 2, side / 2), r, r);
    return QRegion(path.toFillPolygon().toPolygon());
}

void MicButtonView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    MicButtonDrawing::draw(painter, QRectF(rect()), state_, hovering_, level_, spin_);
}

void MicButtonView::setHovering(bool hovering)
{
    if (hovering == hovering_) {
        return;
    }
    hovering_ = hovering;
    update();
    if (onHoverChange) {
        onHoverChange(hovering);
    }
}

void MicButtonView::enterEvent(QEnterEvent*) { setHovering(true); }
void MicButtonView::leaveEvent(QEvent*) { setHovering(false); }

void MicButtonView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !hitTest(event->position())) {
        event->ignore();
        return;
    }
    event->accept();
    if (!isDraggable || !isDraggable() || !isVisible()) {
        // Not draggable: the press itself is the click.
        click();
        return;
    }
    pressed_ = true;
    dragging_ = false;
    pressPoint_ = event->globalPosition();
    windowOrigin_ = window()->pos();
}

void MicButtonView::mouseMoveEvent(QMouseEvent* event)
{
    if (!pressed_) {
        return;
    }
    const QPointF d = event->globalPosition() - pressPoint_;
    if (!dragging_) {
        if (std::hypot(d.x(), d.y()) <= dragThreshold) {
            return;
        }
        QGuiApplication::setOverrideCursor(Qt::ClosedHandCursor);
        dragging_ = true;
    }
    // The window follows the whole displacement from the press, not the part beyond the
    // threshold. It is not kept on screen while it moves.
    window()->move(windowOrigin_ + d.toPoint());
}

void MicButtonView::mouseReleaseEvent(QMouseEvent* event)
{
    if (!pressed_ || event->button() != Qt::LeftButton) {
        return;
    }
    pressed_ = false;
    if (dragging_) {
        dragging_ = false;
        QGuiApplication::restoreOverrideCursor();
        if (onDragEnded) {
            onDragEnded();
        }
    } else {
        click();
    }
}

void MicButtonView::showEvent(QShowEvent*)
{
    if (isAnimated(state_) && !animation_.isActive()) {
        animation_ = scheduler_->repeat(tickInterval, [this] { tick(); });
    }
}

void MicButtonView::hideEvent(QHideEvent*)
{
    // Nobody sees the animation of a hidden button; it resumes where it was when shown.
    stopAnimation();
    // A press that the hiding cut short ends without a click or a drag.
    if (dragging_) {
        QGuiApplication::restoreOverrideCursor();
    }
    pressed_ = false;
    dragging_ = false;
}

}  // namespace korvu
