#pragma once

#include "KorvuDarivir/Store/Hotkey.h"

#include <QPointF>
#include <QRectF>
#include <QString>

#include <optional>

namespace korvu {

// Where the floating microphone button stands, and the texts around placing it.
//
// Geometry is in the application's screen space: origin at the bottom left of the primary
// screen, y upward. A rectangle's y() is its bottom edge there and y() + height() its top
// edge. Points name the lower-left corner of the 26-point button face, which sits inside
// its 38-point panel with a 6-point margin on every side.
class ButtonPlacement {
public:
    ButtonPlacement() = delete;

    static constexpr double faceSize = 26;
    static constexpr double panelMargin = 6;
    // A field up to this height counts as one line and gets the button centred beside its
    // text; a taller one gets it in its lower right corner.
    static constexpr double oneLineMaxHeight = 44;

    // The button's place beside a field, before any user offset: a one-line field gets it
    // vertically centred with its right edge 6 points inside the field's; a taller one 8
    // points inside its right and bottom edges.
    static QPointF besideField(const QRectF& fieldFrame);

    // The button's place when no field is focused: its top edge 12 points below the
    // pointer and 12 points to the right of it.
    static QPointF atMouse(const QPointF& mouse);

    // The button face of a panel frame.
    static QRectF face(const QRectF& panelFrame);

    // "Klicken zum Diktieren · Strg+Alt+Leertaste" for the dictation shortcut.
    static QString tooltipText(const Hotkey& shortcut);

    // The detail of the "Position gemerkt" hint: "Gilt für NAME.", "diese App" without a name.
    static QString offsetSavedDetail(const std::optional<QString>& applicationName);
};

}  // namespace korvu
