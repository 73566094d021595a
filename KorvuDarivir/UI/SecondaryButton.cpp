#include "KorvuDarivir/UI/SecondaryButton.h"

#include "KorvuDarivir/UI/Theme.h"
#include "Platform/UI/Painting.h"

namespace korvu {

SecondaryButton::SecondaryButton(const QString& text, QWidget* parent) : StyledButton(text, 14, 6, parent)
{
    setFont(platform::Painting::font(13));
}

StyledButton::Look SecondaryButton::look() const { return {Theme::seg.current(), Theme::text.current(), 0.75}; }

}  // namespace korvu
