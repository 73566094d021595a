#pragma once

#include "KorvuDarivir/Store/Hotkey.h"
#include "KorvuDarivir/Store/DictationPhase.h"
#include "KorvuDarivir/Store/DictationRecord.h"
#include "KorvuDarivir/Store/ModelState.h"

#include <QKeySequence>
#include <QString>

namespace korvu {

// Which of the four tray images shows the state (the images themselves are StatusIcon's).
struct StatusIconChoice {
    enum class Kind { bars, barsWithBadge, ring, dots, recordDot };
    Kind kind = Kind::bars;
    double progress = 0.0;  // the ring's fraction

    friend bool operator==(const StatusIconChoice&, const StatusIconChoice&) = default;
};

// What the status menu's items show for one state of the application; the pure rules of
// the menu, its history entries, its shortcuts and its tray image.
struct StatusMenuState {
    QString toggleTitle;  // "Diktat starten" or "Diktat beenden"
    bool toggleEnabled = false;
    bool cancelEnabled = false;
    bool accessibilityVisible = false;
    bool retryVisible = false;

    friend bool operator==(const StatusMenuState&, const StatusMenuState&) = default;

    // Stopping is always possible while recording; starting only when idle with a ready
    // model and Accessibility granted; nothing while processing (it cannot be cancelled).
    static StatusMenuState from(DictationPhase phase, const ModelState& model, bool accessibilityGranted);

    static StatusIconChoice iconFor(DictationPhase phase, const ModelState& model, bool accessibilityGranted);

    // "KORVU Darivir", and while recording "KORVU Darivir · Aufnahme 0:07": a tray icon is
    // square and cannot grow a title beside it, so the running time goes here.
    static QString trayToolTip(DictationPhase phase, const QString& recordingTime);

    // A dictation as a menu title: whole below 49 user-perceived characters, else the
    // first 47 and "…"; cut between grapheme clusters only. Tabs and line breaks become
    // spaces, and "&" is doubled so that Qt shows it instead of taking it for a mnemonic.
    static QString historyTitle(const QString& text);
    // "<time> · <app> – klicken zum Kopieren" as plain text on one line. Qt would take a
    // text that looks like markup for rich text (and wrap it): such a text gets an
    // invisible word joiner after each "<" and "&", so a name with markup in it is shown
    // as written.
    static QString historyToolTip(const QString& timeLabel, const QString& appName);
    // A line of text as the title of an exported (D-Bus) menu entry, so that the host shows
    // it as written: line breaks become spaces; a host takes "_" for the mark of a
    // mnemonic, so it is doubled; Qt turns the first "&" into that mark, so that one is
    // doubled too (the host then shows "&").
    static QString exportedRow(const QString& text);

    // The dictation shortcut as the toggle item's key: Space, a key with a one-character
    // name (letters as their key), or one of the named and function keys, with Ctrl, Alt,
    // Shift and Meta for the four modifiers. A key that has no such form gives the empty
    // sequence, so the menu never shows a shortcut that is no longer set.
    static QKeySequence keyEquivalent(const Hotkey& hotkey);
};

}  // namespace korvu
