#pragma once

#include "KorvuDarivir/UI/MicButtonView.h"

#include <QWidget>

#include <functional>

namespace korvu {

// The microphone button inside an ordinary window (onboarding, settings): a plain button
// whose action fires on the press, showing the hover look while the pointer is over it.
// `size` is the diameter of the glyph disc; the button takes a centred square of
// size x 38 / 26 points.
class MicButton : public QWidget {
    Q_OBJECT
public:
    MicButton(const MicButtonState& state, qreal size, std::function<void()> action, QWidget* parent = nullptr);

    void setState(const MicButtonState& state) { view_->setState(state); }
    void setAction(std::function<void()> action) { view_->onClick = std::move(action); }
    MicButtonView* view() const { return view_; }

    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    qreal side() const { return size_ * MicButtonView::baseSide / 26; }

    qreal size_;
    MicButtonView* view_;
};

}  // namespace korvu
