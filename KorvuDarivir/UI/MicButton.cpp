#include "KorvuDarivir/UI/MicButton.h"

#include <cmath>

namespace korvu {

MicButton::MicButton(const MicButtonState& state, qreal size, std::function<void()> action, QWidget* parent)
    : QWidget(parent), size_(size), view_(new MicButtonView(this))
{
    view_->setState(state);
    view_->onClick = std::move(action);
    const int side = static_cast<int>(std::ceil(this->side()));
    view_->resize(side, side);
}

QSize MicButton::sizeHint() const
{
    const int side = static_cast<int>(std::ceil(this->side()));
    return {side, side};
}

void MicButton::resizeEvent(QResizeEvent*)
{
    const QSize square = sizeHint();
    view_->setGeometry(QRect(QPoint((width() - square.width()) / 2, (height() - square.height()) / 2), square));
}

}  // namespace korvu
