#pragma once

#include "KorvuDarivir/UI/StyledButton.h"

namespace korvu {

// Any other action: 13-point text in the text colour on the neutral segment colour,
// padding 14 by 6, faded to 0.75 while pressed. It has no disabled look of its own.
class SecondaryButton : public StyledButton {
    Q_OBJECT
public:
    explicit SecondaryButton(const QString& text, QWidget* parent = nullptr);

protected:
    Look look() const override;
};

}  // namespace korvu
