#include "KorvuDarivir/UI/BrandToggle.h"

#include <algorithm>

#include <QEasingCurve>
#include <QEvent>
#include <QFocusEvent>
#include <QPainter>

#include "KorvuDarivir/UI/StyledButton.h"
#include "KorvuDarivir/UI/Theme.h"
#include "Platform/UI/Painting.h"

namespace korvu {

namespace {

using namespace std::chrono_literals;

constexpr auto duration = 150ms;
constexpr auto frame = 16ms;
constexpr QSizeF trackSize(34, 20);
constexpr double knobDiameter = 16;
constexpr double knobMargin = 2;

// The standard ease-out curve, cubic Bézier (0, 0) (0.58, 1) (1, 1).
double easeOut(double t)
{
    static const QEasingCurve curve = [] {
        QEasingCurve c(QEasingCurve::BezierSpline);
        c.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
        return c;
    }();
    return curve.valueForProgress(t);
}

QColor blend(const QColor& a, const QColor& b, double t)
{
    const auto mix = [t](float x, float y) { return static_cast<float>(x + (y - x) * t); };
    return QColor::fromRgbF(mix(a.redF(), b.redF()), mix(a.greenF(), b.greenF()), mix(a.blueF(), b.blueF()),
                            mix(a.alphaF(), b.alphaF()));
}

}  // namespace

BrandToggle::BrandToggle(const QString& text, QWidget* parent)
    : QAbstractButton(parent), ownScheduler_(std::make_unique<platform::QtScheduler>()), scheduler_(*ownScheduler_)
{
    setUp(text);
}

BrandToggle::BrandToggle(const QString& text, platform::Scheduler& scheduler, QWidget* parent)
    : QAbstractButton(parent), scheduler_(scheduler)
{
    setUp(text);
}

void BrandToggle::setUp(const QString& text)
{
    setText(text);
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::toggled, this, &BrandToggle::animateTo);
    connect(&platform::AppearanceMonitor::shared(), &platform::AppearanceMonitor::changed, this,
            [this] { update(); });
}

// The animation's token goes before the scheduler it belongs to.
BrandToggle::~BrandToggle() { animation_.cancel(); }

void BrandToggle::animateTo(bool on)
{
    from_ = position_;
    to_ = on ? 1.0 : 0.0;
    start_ = scheduler_.now();
    animation_ = scheduler_.repeat(frame, [this] { tick(); });
}

void BrandToggle::tick()
{
    const double elapsed = static_cast<double>((scheduler_.now() - start_).count()) / duration.count();
    const double t = std::clamp(elapsed, 0.0, 1.0);
    position_ = from_ + (to_ - from_) * easeOut(t);
    if (t >= 1) {
        position_ = to_;
        animation_.cancel();
    }
    update();
}

void BrandToggle::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange) {
        update();
    }
    QAbstractButton::changeEvent(event);
}

void BrandToggle::focusInEvent(QFocusEvent* event)
{
    keyboardFocus_ = StyledButton::isKeyboardFocus(event->reason());
    QAbstractButton::focusInEvent(event);
}

void BrandToggle::focusOutEvent(QFocusEvent* event)
{
    keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
}

void BrandToggle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // Centred in whatever rectangle a layout gives.
    const QRectF track(QPointF((width() - trackSize.width()) / 2, (height() - trackSize.height()) / 2), trackSize);
    platform::Painting::drawWithOpacity(painter, track, isEnabled() ? 1.0 : 0.5, [&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(blend(Theme::toggleOff.current(), Theme::accent.current(), position_));
        p.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        const double travel = track.width() - knobDiameter - 2 * knobMargin;
        const QRectF knob(track.left() + knobMargin + travel * position_, track.top() + knobMargin, knobDiameter,
                          knobDiameter);
        const platform::Shadow shadow{QColor::fromRgbF(0, 0, 0, 0.3F), 1, QPointF(0, 1)};
        platform::Painting::drawWithShadow(p, knob, shadow, [&](QPainter& k) {
            k.setPen(Qt::NoPen);
            k.setBrush(Qt::white);
            k.drawEllipse(knob);
        });
    });
    if (keyboardFocus_ && hasFocus()) {
        StyledButton::drawFocusRing(painter, track, track.height() / 2, palette().color(QPalette::Highlight));
    }
}

}  // namespace korvu
