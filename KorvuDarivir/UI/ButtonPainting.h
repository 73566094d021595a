#pragma once

#include <QColor>
#include <QPushButton>
#include <QSize>

namespace korvu {

// What the two styled push buttons share: their size from the label and the padding, and
// their picture (a rounded rectangle of radius 7 behind the centred label, faded as one
// layer while pressed). They repaint when the application's appearance changes.
struct ButtonLook {
    QColor fill;
    QColor text;
    qreal pressedOpacity;

    static QSize sizeFor(const QPushButton& button, int horizontalPadding, int verticalPadding);
    void paint(QPushButton& button) const;
    static void repaintOnAppearanceChange(QPushButton& button);
};

}  // namespace korvu
