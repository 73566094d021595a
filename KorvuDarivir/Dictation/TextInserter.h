#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace korvu {

// Puts a finished dictation into the text field of another application: the text goes
// onto the clipboard with the transient marker, a synthetic Ctrl+V is typed, and the
// user's previous clipboard comes back afterwards unless someone else wrote to it in
// the meantime. Main thread only; it never blocks the event loop, because on X11 the
// target application reads the pasted text from us during the wait.
class TextInserter {
public:
    // The marker by which clipboard-history tools recognise short-lived contents.
    static constexpr const char* transientType = "org.nspasteboard.TransientType";

    struct Timing {
        // After activating the target, before writing the clipboard.
        std::chrono::milliseconds activation{250};
        // After the paste keystroke, before the clipboard is restored.
        std::chrono::milliseconds paste{600};
        // How much longer to wait, at most, for a target that has not fetched the text
        // by then (a busy program handles the keystroke late; restoring first would make
        // it paste the user's old clipboard instead of the dictation).
        std::chrono::milliseconds unreadGrace{2000};
    };

    // Inserts `text` into the application with process id `pid` (activated first when
    // another one is frontmost), or into the frontmost application when there is no pid
    // or the process has no window. `done` runs once the clipboard has been restored or
    // left. Insertions and other clipboard sequences run one after another.
    static void insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> done = {});
    // Types the paste chord once the text is on the clipboard; none: Ctrl+V through XTest.
    using PasteKeys = std::function<void()>;
    static void insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> done,
                       Timing timing);
    // The same; `pasted` runs as soon as the paste keystroke is posted, before the wait.
    static void insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> pasted,
                       std::function<void()> done, Timing timing, PasteKeys keys = {});

private:
    static void postPaste();
};

}  // namespace korvu
