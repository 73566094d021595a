#include "KorvuDarivir/UI/PrimaryButton.h"

#include "KorvuDarivir/UI/Theme.h"
#include "Platform/UI/Painting.h"

namespace korvu {

PrimaryButton::PrimaryButton(const QString& text, QWidget* parent) : StyledButton(text, 16, 6, parent)
{
    setFont(platform::Painting::font(13, platform::FontWeight::medium));
}

StyledButton::Look PrimaryButton::look() const
{
    return {isEnabled() ? Theme::accent.current() : Theme::toggleOff.current(), Qt::white, 0.8};
}

}  // namespace korvu
