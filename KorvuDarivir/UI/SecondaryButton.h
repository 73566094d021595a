#pragma once

#include <QPushButton>

namespace korvu {

// Any other action: 13-point text in the text colour on a neutral rounded rectangle,
// faded to 0.75 while pressed. It has no disabled look of its own.
class SecondaryButton : public QPushButton {
    Q_OBJECT
public:
    explicit SecondaryButton(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace korvu
