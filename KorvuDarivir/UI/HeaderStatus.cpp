#include "KorvuDarivir/UI/HeaderStatus.h"

#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Permissions/AccessibilityTrust.h"

namespace korvu {

QString HeaderStatus::lastInsertLine(const LastInsert& last)
{
    return QStringLiteral("Zuletzt: %1 %2 in %3 eingefügt")
        .arg(QString::number(last.words), last.words == 1 ? QStringLiteral("Wort") : QStringLiteral("Wörter"),
             last.appName);
}

QString HeaderStatus::waylandLine()
{
    return QStringLiteral("Wayland: Kurzbefehl und Einfügen nur in X11-Programmen");
}

HeaderStatus HeaderStatus::from(const Input& in)
{
    HeaderStatus status = row(in);
    if (in.waylandSession) {
        status.last = waylandLine();
    }
    return status;
}

HeaderStatus HeaderStatus::row(const Input& in)
{
    if (in.phase == DictationPhase::recording) {
        return {Dot::recording, QStringLiteral("Aufnahme läuft · ") + in.recordingTime,
                QStringLiteral("Klicken oder ") + in.hotkey.displayText() + QStringLiteral(" zum Beenden"), {}, {}};
    }
    if (in.phase == DictationPhase::processing) {
        return {Dot::working, QStringLiteral("Text wird erstellt"), QStringLiteral("Lokal auf diesem Rechner"), {}, {}};
    }
    if (!in.accessibilityGranted) {
        return {Dot::recording, QStringLiteral("Bedienungshilfen fehlen"),
                QStringLiteral("Ohne Freigabe kann kein Text eingefügt werden"), {}, {}};
    }
    switch (in.model.kind()) {
    case ModelState::Kind::downloading:
        return {Dot::working, QStringLiteral("Sprachmodell wird geladen"), AppModel::downloadDetail(in.model.progress()),
                in.model.progress(), QStringLiteral("Du kannst gleich diktieren.")};
    case ModelState::Kind::preparing:
        if (in.model.firstTime()) {
            return {Dot::working, QStringLiteral("Sprachmodell wird vorbereitet"),
                    QStringLiteral("Wird für diesen Rechner optimiert …"), {}, QStringLiteral("Passiert nur einmal.")};
        }
        return {Dot::working, QStringLiteral("Sprachmodell wird vorbereitet"), QStringLiteral("Startet …"), {}, {}};
    case ModelState::Kind::failed:
        // Every failure reads as an interrupted download; the message stays in the model.
        return {Dot::recording, QStringLiteral("Download unterbrochen"), QStringLiteral("Prüfe deine Internetverbindung"),
                {}, {}};
    case ModelState::Kind::ready: {
        HeaderStatus status{Dot::ready, QStringLiteral("Bereit"),
                            in.languageName + QStringLiteral(" · ") +
                                (in.cleanupEnabled ? QStringLiteral("mit KI-Aufbereitung")
                                                   : QStringLiteral("läuft lokal auf diesem Rechner")),
                            {}, {}};
        if (in.lastInsert) {
            status.last = lastInsertLine(*in.lastInsert);
        }
        return status;
    }
    case ModelState::Kind::notLoaded:
        break;
    }
    return {Dot::working, QStringLiteral("Sprachmodell nicht geladen"), QStringLiteral("Wird in der Ersteinrichtung geladen"),
            {}, {}};
}

HeaderStatus HeaderStatus::from(const AppModel& model)
{
    return from(Input{model.phase(), model.model(), model.accessibilityGranted(), model.hotkey(), model.lastInsert(),
                      model.recordingTime(), Settings::languageName(),
                      platform::UserDefaults::standard().boolean(QString::fromLatin1(Settings::cleanupEnabledKey)),
                      platform::isWaylandSession()});
}

}  // namespace korvu
