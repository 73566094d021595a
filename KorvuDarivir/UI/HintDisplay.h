#pragma once

#include "KorvuDarivir/UI/Hint.h"

#include <QRectF>
#include <QString>

#include <memory>
#include <optional>

namespace korvu {

// Where an owner's hints and the button's tooltip appear: the hint panel in the running
// application, a recording fake in tests. Rectangles are in the application's screen
// space (y upward). Main thread only.
class HintDisplay {
public:
    virtual ~HintDisplay() = default;

    // Shows the hint beside `anchor`, or beside the mouse pointer without one; it hides
    // by itself a few seconds later.
    virtual void show(const Hint& hint, const std::optional<QRectF>& anchor) = 0;
    // Shows a one-line tooltip below `anchor`.
    virtual void showTooltip(const QString& text, const QRectF& anchor) = 0;
    // Hides whatever shows, at once.
    virtual void hide() = 0;
};

// A new hint panel of the running application, for one owner.
std::unique_ptr<HintDisplay> makeHintPanel();

}  // namespace korvu
