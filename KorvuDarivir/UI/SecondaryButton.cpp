#include "KorvuDarivir/UI/SecondaryButton.h"

#include "KorvuDarivir/UI/ButtonPainting.h"
#include "KorvuDarivir/UI/Theme.h"
#include "Platform/UI/Painting.h"

namespace korvu {

namespace {
constexpr int horizontalPadding = 14;
constexpr int verticalPadding = 6;
}  // namespace

SecondaryButton::SecondaryButton(const QString& text, QWidget* parent) : QPushButton(text, parent)
{
    setFont(platform::Painting::font(13));
    ButtonLook::repaintOnAppearanceChange(*this);
}

QSize SecondaryButton::sizeHint() const { return ButtonLook::sizeFor(*this, horizontalPadding, verticalPadding); }

void SecondaryButton::paintEvent(QPaintEvent*)
{
    const ButtonLook look{Theme::seg.current(), Theme::text.current(), 0.75};
    look.paint(*this);
}

}  // namespace korvu
