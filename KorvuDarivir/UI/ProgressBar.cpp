#include "KorvuDarivir/UI/ProgressBar.h"

#include "KorvuDarivir/UI/Theme.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace korvu {

ProgressBar::ProgressBar(double value, QColor fill, QWidget* parent)
    : QWidget(parent), value_(value), fill_(fill.isValid() ? fill : Theme::accent.current())
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ProgressBar::setValue(double value)
{
    // NaN never equals itself; it would repaint on every write.
    if (value == value_ || (std::isnan(value) && std::isnan(value_))) return;
    value_ = value;
    update();
}

void ProgressBar::setFill(const QColor& fill)
{
    if (fill == fill_) return;
    fill_ = fill;
    update();
}

double ProgressBar::filledWidth(double width, double value)
{
    // std::clamp lets NaN through, and a NaN width would paint who knows what.
    if (std::isnan(value)) return 0.0;
    return width * std::clamp(value, 0.0, 1.0);
}

namespace {

void fillCapsule(QPainter& painter, const QRectF& rect, const QColor& color)
{
    if (rect.width() <= 0 || rect.height() <= 0) return;
    const double radius = std::min(rect.width(), rect.height()) / 2.0;
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    painter.fillPath(path, color);
}

}  // namespace

void ProgressBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(0, 0, width(), height());
    fillCapsule(painter, track, Theme::line.current());
    fillCapsule(painter, QRectF(0, 0, filledWidth(track.width(), value_), track.height()), fill_);
}

}  // namespace korvu
