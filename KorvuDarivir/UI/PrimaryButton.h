#pragma once

#include "KorvuDarivir/UI/StyledButton.h"

namespace korvu {

// The main action of a page: white 13-point medium text on the accent colour, padding 16
// by 6; disabled, the fill turns to the switched-off grey and the text stays white;
// pressed, the whole button fades to 0.8. The whole padded rectangle takes clicks.
class PrimaryButton : public StyledButton {
    Q_OBJECT
public:
    explicit PrimaryButton(const QString& text, QWidget* parent = nullptr);

protected:
    Look look() const override;
};

}  // namespace korvu
