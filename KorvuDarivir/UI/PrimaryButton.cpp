#include "KorvuDarivir/UI/PrimaryButton.h"

#include "KorvuDarivir/UI/ButtonPainting.h"
#include "KorvuDarivir/UI/Theme.h"
#include "Platform/UI/Painting.h"

namespace korvu {

namespace {
constexpr int horizontalPadding = 16;
constexpr int verticalPadding = 6;
}  // namespace

PrimaryButton::PrimaryButton(const QString& text, QWidget* parent) : QPushButton(text, parent)
{
    setFont(platform::Painting::font(13, platform::FontWeight::medium));
    ButtonLook::repaintOnAppearanceChange(*this);
}

QSize PrimaryButton::sizeHint() const { return ButtonLook::sizeFor(*this, horizontalPadding, verticalPadding); }

void PrimaryButton::paintEvent(QPaintEvent*)
{
    // Disabled changes only the fill; the label stays white.
    const ButtonLook look{isEnabled() ? Theme::accent.current() : Theme::toggleOff.current(), Qt::white, 0.8};
    look.paint(*this);
}

}  // namespace korvu
