#pragma once

#include <functional>

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QSize>

#include "Platform/UI/Appearance.h"

namespace korvu {

// One drawn tray image at its size in points, rendered at 1x and 2x. A template image is
// drawn in black and only its shape counts: Linux trays know no template images, so
// `toIcon` recolours it to the tray's foreground and rims it with a thin outline in the
// opposite colour, since nothing tells the panel's real colour. Images that are not
// templates keep their colours.
struct StatusImage {
    QSize size;
    bool isTemplate = false;
    QImage image1x;
    QImage image2x;  // device pixel ratio 2

    // The image for a tray whose foreground (text) colour is `foreground`, centred on a
    // square canvas of at least 16 because tray hosts show square icons.
    QIcon toIcon(const QColor& foreground) const;
    // The square canvas at one ratio (1 or 2), recoloured as `toIcon` does.
    QImage squareImage(const QColor& foreground, int ratio) const;

    // The rim's colour around a template drawn in `foreground`: white around dark shapes,
    // black around light ones.
    static QColor outlineFor(const QColor& foreground);
};

// The four tray images: the level bars (with an attention badge), the recording dot, the
// processing dots and the progress ring. A new image per call; nothing is cached.
class StatusIcon {
public:
    // Five bars, 16 × 16 template; with the badge 19 × 16 with the bars in `label` at
    // alpha 0.4 (the tray's foreground, since the badge keeps it from being a template)
    // and an orange-red dot carrying a white "!".
    static StatusImage bars(bool badge, const QColor& label = Qt::black);
    static StatusImage recordDot();
    static StatusImage dots();
    // A track and an arc that grows clockwise from the top; at least 5 %, a whole circle
    // from 1 on and for NaN.
    static StatusImage ring(double progress);

    // The colour that template images take on a tray of this appearance.
    static QColor trayForeground(platform::Appearance panel);

private:
    static StatusImage render(QSize size, bool isTemplate, const std::function<void(QPainter&)>& paint);
};

}  // namespace korvu
