#pragma once

#include "KorvuDarivir/Store/Hotkey.h"
#include "KorvuDarivir/Dictation/HotkeyCenter.h"

#include <QPushButton>

namespace korvu {

// Shows one of the two global shortcuts and records a new one: a click frees the
// shortcut and waits for a key combination; Escape or leaving the field keeps the old one.
// A new combination is stored in the settings and the model and registered at once; when
// another program holds it, the old one stays and the recorder says so.
class ShortcutRecorder : public QPushButton {
    Q_OBJECT
public:
    ShortcutRecorder(HotkeyCenter::Slot slot, QWidget* parent = nullptr);

    bool isRecording() const { return recording_; }
    // The shortcut's display text, e.g. "Strg+Alt+Leertaste".
    static QString label(const Hotkey& hotkey);

signals:
    // A message for the user after a refused combination; empty after success.
    void message(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    Hotkey stored() const;
    void store(const Hotkey& hotkey);
    void startRecording();
    void stopRecording(const std::optional<Hotkey>& replacement);
    void refresh();

    HotkeyCenter::Slot slot_;
    bool recording_ = false;
};

}  // namespace korvu
