#pragma once

#include "Platform/Clipboard/ClipboardSnapshot.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class QMimeData;

namespace platform {

// What the take-write-restore sequences of text insertion and word capture need of the
// clipboard. `Clipboard` is the desktop's (the X CLIPBOARD selection); tests give a fake.
// Main thread only. Whatever has to ask another program (the owner of the clipboard) never
// waits on the main thread: it answers later, as a queued call on the main thread.
class ClipboardAccess {
public:
    // What `write` left on the clipboard, to tell later whether anyone changed it.
    struct WriteToken {
        // Shared with the data object on the clipboard, which outlives no replacement.
        struct State {
            bool alive = true;
            bool read = false;
        };
        std::uint64_t generation = 0;
        const QMimeData* data = nullptr;
        std::shared_ptr<State> state;
        QString text;
        QString markerType;
    };

    virtual ~ClipboardAccess() = default;

    using SnapshotDone = std::function<void(ClipboardSnapshot)>;

    // Every format of the current contents with its data, read for at most `budget`;
    // `done` gets it later on the main thread.
    virtual void snapshot(SnapshotDone done, std::chrono::milliseconds budget = std::chrono::milliseconds(1000)) = 0;
    // Replaces the contents with `text` plus the type `markerType` with empty data.
    virtual WriteToken write(const QString& text, const QString& markerType) = 0;
    // Whether the contents are still the ones `write` put there, later on the main thread.
    virtual void checkUnchanged(const WriteToken& token, std::function<void(bool unchanged)> done) = 0;
    // True while our written data is still on the clipboard, unreplaced.
    virtual bool holds(const WriteToken& token) const = 0;
    // True once anyone has fetched the written data.
    virtual bool wasRead(const WriteToken& token) const = 0;
    // Puts a snapshot back (does nothing with an empty one).
    virtual void restore(const ClipboardSnapshot& snapshot) = 0;
    // Counts the changes of the contents by anyone but us.
    virtual std::uint64_t generation() const = 0;
    // The current contents as plain text (empty when there is none), later on the main thread.
    virtual void readText(std::function<void(QString)> done) = 0;
};

}  // namespace platform
