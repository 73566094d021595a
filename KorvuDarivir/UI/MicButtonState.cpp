#include "KorvuDarivir/UI/MicButtonState.h"

#include <algorithm>
#include <cmath>

namespace korvu {

QString MicButtonState::accessibilityLabel() const
{
    switch (kind_) {
    case Kind::load: {
        // Converting NaN or a huge value to an integer is undefined; the percentage is
        // clamped to what a progress can mean.
        const double fraction = std::isnan(progress_) ? 0.0 : std::clamp(progress_, 0.0, 1.0);
        const int percent = static_cast<int>(fraction * 100.0);
        return QStringLiteral("Sprachmodell lädt, %1 Prozent").arg(percent);
    }
    case Kind::idle:
    case Kind::hover:
        return QStringLiteral("Diktat starten");
    case Kind::rec:
        return QStringLiteral("Aufnahme läuft, klicken zum Beenden");
    case Kind::proc:
        return QStringLiteral("Text wird erstellt");
    case Kind::ok:
        return QStringLiteral("Text eingefügt");
    case Kind::err:
        return QStringLiteral("Fehler, Details im Hinweis");
    }
    return {};
}

}  // namespace korvu
