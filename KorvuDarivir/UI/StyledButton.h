#pragma once

#include <QColor>
#include <QPainter>
#include <QPushButton>

namespace korvu {

// What the styled push buttons share: a size from the label and the padding, a rounded
// rectangle of radius 7 behind the centred label, the whole button faded as one layer
// while pressed, and a repaint when the application's appearance changes. A focus ring in
// the palette's highlight colour shows keyboard focus, as the desktop shows it on its own
// controls; a click does not show it.
class StyledButton : public QPushButton {
    Q_OBJECT
public:
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // A ring two pixels wide just inside `bounds`.
    static void drawFocusRing(QPainter& painter, const QRectF& bounds, qreal radius, const QColor& colour);
    // Whether focus that arrived for `reason` came from the keyboard.
    static bool isKeyboardFocus(Qt::FocusReason reason);

protected:
    struct Look {
        QColor fill;
        QColor text;
        qreal pressedOpacity;
    };

    StyledButton(const QString& text, int horizontalPadding, int verticalPadding, QWidget* parent);
    virtual Look look() const = 0;

    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    int horizontalPadding_;
    int verticalPadding_;
    bool keyboardFocus_ = false;
};

}  // namespace korvu
