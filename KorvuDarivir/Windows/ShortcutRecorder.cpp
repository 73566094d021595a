#include "KorvuDarivir/Windows/ShortcutRecorder.h"

#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"

#include <QKeyEvent>

namespace korvu {

ShortcutRecorder::ShortcutRecorder(HotkeyCenter::Slot slot, QWidget* parent) : QPushButton(parent), slot_(slot)
{
    setFocusPolicy(Qt::StrongFocus);
    setMinimumWidth(150);
    connect(this, &QPushButton::clicked, this, [this] {
        if (!recording_) {
            startRecording();
        }
    });
    refresh();
}

QString ShortcutRecorder::label(const Hotkey& hotkey)
{
    return hotkey.displayText();
}

Hotkey ShortcutRecorder::stored() const
{
    return slot_ == HotkeyCenter::addWord ? Settings::wordHotkey() : Settings::hotkey();
}

void ShortcutRecorder::store(const Hotkey& hotkey)
{
    if (slot_ == HotkeyCenter::addWord) {
        Settings::setWordHotkey(hotkey);
        AppModel::shared().setWordHotkey(hotkey);
    } else {
        Settings::setHotkey(hotkey);
        AppModel::shared().setHotkey(hotkey);
    }
}

void ShortcutRecorder::startRecording()
{
    recording_ = true;
    // While the user types, the old shortcut must not fire.
    HotkeyCenter::shared().unregisterShortcut(slot_);
    setText(QStringLiteral("Tastenkombination drücken …"));
    setFocus();
    grabKeyboard();
}

void ShortcutRecorder::stopRecording(const std::optional<Hotkey>& replacement)
{
    if (!recording_) {
        return;
    }
    recording_ = false;
    releaseKeyboard();
    const Hotkey previous = stored();
    if (replacement && *replacement != previous) {
        const auto result = HotkeyCenter::shared().registerShortcut(slot_, *replacement);
        if (result == HotkeyCenter::Registration::inUse) {
            HotkeyCenter::shared().registerShortcut(slot_, previous);
            emit message(QStringLiteral("%1 ist schon belegt; die bisherige Kombination bleibt.").arg(label(*replacement)));
            refresh();
            return;
        }
        store(*replacement);
        emit message(QString());
    } else {
        HotkeyCenter::shared().registerShortcut(slot_, previous);
    }
    refresh();
}

void ShortcutRecorder::keyPressEvent(QKeyEvent* event)
{
    if (!recording_) {
        QPushButton::keyPressEvent(event);
        return;
    }
    event->accept();
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        stopRecording(std::nullopt);
        return;
    }
    if (const auto hotkey = Hotkey::fromKeyEvent(*event)) {
        stopRecording(hotkey);
    }
}

void ShortcutRecorder::focusOutEvent(QFocusEvent* event)
{
    QPushButton::focusOutEvent(event);
    stopRecording(std::nullopt);
}

void ShortcutRecorder::refresh()
{
    setText(label(stored()));
}

}  // namespace korvu
