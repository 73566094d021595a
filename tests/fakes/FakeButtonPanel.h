#pragma once

#include "KorvuDarivir/Dictation/DictationController.h"

#include <optional>

namespace fakes {

// The floating button's window without a window: it notes what it was told. As the real
// panel, it puts the button face 6 points inside its 38-point frame.
class FakeButtonPanel final : public korvu::DictationController::ButtonPanel {
public:
    Callbacks callbacks;
    korvu::MicButtonState state = korvu::MicButtonState::idle;
    double level = 0;
    bool visible = false;
    QRectF panelFrame{0, 0, 38, 38};
    std::optional<QPointF> origin;

    void setCallbacks(Callbacks c) override { callbacks = std::move(c); }
    void setState(const korvu::MicButtonState& s) override { state = s; }
    void setInputLevel(double l) override { level = l; }
    bool isVisible() const override { return visible; }
    void orderOut() override { visible = false; }
    void place(const QPointF& face) override
    {
        panelFrame = QRectF(face - QPointF(6, 6), QSizeF(38, 38));
        visible = true;
    }
    QRectF frame() const override { return panelFrame; }
    std::optional<QPointF> standardOrigin() const override { return origin; }
    void setStandardOrigin(const std::optional<QPointF>& o) override { origin = o; }
    QPointF faceOrigin() const { return panelFrame.topLeft() + QPointF(6, 6); }
};

}  // namespace fakes
