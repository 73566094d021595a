#pragma once

#include "KorvuDarivir/Store/Hotkey.h"
#include "KorvuDarivir/Store/DictationPhase.h"
#include "KorvuDarivir/Store/LastInsert.h"
#include "KorvuDarivir/Store/ModelState.h"

#include <QString>

#include <optional>

namespace korvu {

class AppModel;

// Everything the menu's header says: a coloured dot, a bold title, one line of detail, a
// progress bar while the model downloads and an optional closing line.
struct HeaderStatus {
    // The dot's colour by what it means: something needs attention or records (the
    // recording red), something is under way (the brand's medium purple), all is ready.
    enum class Dot { recording, working, ready };

    Dot dot = Dot::working;
    QString title;
    QString detail;
    std::optional<double> progress;
    std::optional<QString> last;

    friend bool operator==(const HeaderStatus&, const HeaderStatus&) = default;

    // What the application's state reads as. The first matching row wins: recording,
    // processing, Accessibility missing, then the model's state (downloading, preparing for
    // the first time or again, failed, ready, not loaded). In a Wayland session the closing
    // line always says what works there (`waylandLine`).
    struct Input {
        DictationPhase phase = DictationPhase::idle;
        ModelState model = ModelState::notLoaded;
        bool accessibilityGranted = false;
        Hotkey hotkey;
        std::optional<LastInsert> lastInsert;
        QString recordingTime;
        QString languageName;
        bool cleanupEnabled = false;
        bool waylandSession = false;
    };
    static HeaderStatus from(const Input& input);
    // The same over the model, the language name and the cleanup setting as stored now.
    static HeaderStatus from(const AppModel& model);

    // "Wayland: Kurzbefehl und Einfügen nur in X11-Programmen"
    static QString waylandLine();
    // "Zuletzt: 12 Wörter in Mail eingefügt" ("Wort" for exactly one).
    static QString lastInsertLine(const LastInsert& last);

private:
    static HeaderStatus row(const Input& input);
};

}  // namespace korvu
