#pragma once

#include <QPainter>
#include <QRectF>

#include "KorvuDarivir/Store/MicButtonState.h"

namespace korvu {

// The floating microphone button's pictures: a disc of 26 with a ring and a symbol per
// look, a soft shadow, the loading progress, the recording halo and the processing
// spinner. Drawing keeps no state: a frame depends only on the look, the level and the
// spinner angle. Brand colours only, so the picture is the same in both appearances.
class MicButtonDrawing {
public:
    // Draws the whole button into `bounds` (a square; 38 × 38 at scale 1, everything
    // scales with its width) with its shadow. `hovering`: the pointer is over the button,
    // which draws `idle` as `hover`. `level` 0...1 is the smoothed microphone level (rec),
    // `spin` the spinner angle in radians (proc), free to grow without bound. Without a
    // compositor a window cannot show a soft shadow, so the caller may leave it out.
    static void draw(QPainter& painter, const QRectF& bounds, const MicButtonState& state, bool hovering,
                     double level, double spin, bool withShadow = true);

    // One look in glyph space: 26 × 26, origin top left, y down; the caller sets up the
    // transform (the button's glyph square is inset by 6 of 38).
    static void drawGlyph(const MicButtonState& state, QPainter& painter, double level, double spin);
};

}  // namespace korvu
