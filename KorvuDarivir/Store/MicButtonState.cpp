#include "KorvuDarivir/Store/MicButtonState.h"
#include "KorvuDarivir/Store/Progress.h"

#include <algorithm>
#include <cmath>

namespace korvu {

QString MicButtonState::accessibilityLabel() const
{
    switch (kind_) {
    case Kind::load: {
        return QStringLiteral("Sprachmodell lädt, %1 Prozent").arg(wholePercent(progress_));
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
