#include "KorvuDarivir/UI/ButtonPainting.h"

#include <cmath>

#include <QFontMetricsF>
#include <QPainter>

#include "Platform/UI/Appearance.h"
#include "Platform/UI/Painting.h"

namespace korvu {

QSize ButtonLook::sizeFor(const QPushButton& button, int horizontalPadding, int verticalPadding)
{
    const QFontMetricsF metrics(button.font());
    return {static_cast<int>(std::ceil(metrics.horizontalAdvance(button.text()))) + 2 * horizontalPadding,
            static_cast<int>(std::ceil(metrics.height())) + 2 * verticalPadding};
}

void ButtonLook::paint(QPushButton& button) const
{
    QPainter painter(&button);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    const QRectF bounds(button.rect());
    // Faded as one layer, so the fill does not show through the label.
    platform::Painting::drawWithOpacity(painter, bounds, button.isDown() ? pressedOpacity : 1.0, [&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(bounds, 7, 7);
        p.setFont(button.font());
        p.setPen(text);
        p.drawText(bounds, Qt::AlignCenter | Qt::TextSingleLine, button.text());
    });
}

void ButtonLook::repaintOnAppearanceChange(QPushButton& button)
{
    QObject::connect(&platform::AppearanceMonitor::shared(), &platform::AppearanceMonitor::changed, &button,
                     [&button] { button.update(); });
}

}  // namespace korvu
