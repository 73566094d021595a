#pragma once

#include <QPushButton>

namespace korvu {

// The main action of a page: white 13-point medium text on a filled accent rounded
// rectangle; the fill turns to the switched-off grey while disabled, and the whole button
// fades to 0.8 while pressed. The whole padded rectangle takes clicks.
class PrimaryButton : public QPushButton {
    Q_OBJECT
public:
    explicit PrimaryButton(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace korvu
