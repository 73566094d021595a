#include "KorvuDarivir/Dictation/ButtonPlacement.h"

namespace korvu {

QPointF ButtonPlacement::besideField(const QRectF& frame)
{
    const double maxX = frame.x() + frame.width();
    double x = 0;
    double y = 0;
    if (frame.height() <= oneLineMaxHeight) {
        x = maxX - 6;
        y = frame.y() + frame.height() / 2 - faceSize / 2;
    } else {
        x = maxX - 8;
        y = frame.y() + 8;
    }
    // x so far is where the face's right edge goes.
    return {x - faceSize, y};
}

QPointF ButtonPlacement::atMouse(const QPointF& mouse)
{
    return {mouse.x() + 12, mouse.y() - 38};
}

QRectF ButtonPlacement::face(const QRectF& panelFrame)
{
    return panelFrame.adjusted(panelMargin, panelMargin, -panelMargin, -panelMargin);
}

QString ButtonPlacement::tooltipText(const Hotkey& shortcut)
{
    return QStringLiteral("Klicken zum Diktieren · ") + shortcut.displayText();
}

QString ButtonPlacement::offsetSavedDetail(const std::optional<QString>& applicationName)
{
    const QString name = applicationName && !applicationName->isEmpty() ? *applicationName : QStringLiteral("diese App");
    return QStringLiteral("Gilt für ") + name + u'.';
}

}  // namespace korvu
