#include "KorvuDarivir/UI/StyledButton.h"

#include <cmath>

#include <QFocusEvent>
#include <QFontMetricsF>

#include "Platform/UI/Appearance.h"
#include "Platform/UI/Painting.h"

namespace korvu {

StyledButton::StyledButton(const QString& text, int horizontalPadding, int verticalPadding, QWidget* parent)
    : QPushButton(text, parent), horizontalPadding_(horizontalPadding), verticalPadding_(verticalPadding)
{
    connect(&platform::AppearanceMonitor::shared(), &platform::AppearanceMonitor::changed, this,
            [this] { update(); });
}

QSize StyledButton::sizeHint() const
{
    const QFontMetricsF metrics(font());
    return {static_cast<int>(std::ceil(metrics.horizontalAdvance(text()))) + 2 * horizontalPadding_,
            static_cast<int>(std::ceil(metrics.height())) + 2 * verticalPadding_};
}

void StyledButton::paintEvent(QPaintEvent*)
{
    const Look current = look();
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRectF bounds(rect());
    // Faded as one layer, so the fill does not show through the label.
    platform::Painting::drawWithOpacity(painter, bounds, isDown() ? current.pressedOpacity : 1.0, [&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(current.fill);
        p.drawRoundedRect(bounds, 7, 7);
        p.setFont(font());
        p.setPen(current.text);
        p.drawText(bounds, Qt::AlignCenter | Qt::TextSingleLine, text());
    });
    if (keyboardFocus_ && hasFocus()) {
        drawFocusRing(painter, bounds, 7, palette().color(QPalette::Highlight));
    }
}

void StyledButton::focusInEvent(QFocusEvent* event)
{
    keyboardFocus_ = isKeyboardFocus(event->reason());
    QPushButton::focusInEvent(event);
}

void StyledButton::focusOutEvent(QFocusEvent* event)
{
    keyboardFocus_ = false;
    QPushButton::focusOutEvent(event);
}

void StyledButton::drawFocusRing(QPainter& painter, const QRectF& bounds, qreal radius, const QColor& colour)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(bounds.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    painter.restore();
}

bool StyledButton::isKeyboardFocus(Qt::FocusReason reason)
{
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason || reason == Qt::ShortcutFocusReason;
}

}  // namespace korvu
