#pragma once

#include "Platform/Clipboard/ClipboardAccess.h"
#include "Platform/Clipboard/SelectionReader.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <cstdint>
#include <memory>

class QMimeData;

namespace platform {

// The system clipboard (the X CLIPBOARD selection) through QClipboard: taking a copy of
// everything on it, writing a short-lived text, and putting the copy back.
//
// On X11 the clipboard holds no data: its owner hands the data to whoever asks. After
// `write` that owner is us, so the event loop must keep running while another program
// pastes; restored contents likewise live only as long as this process.
class Clipboard : public QObject, public ClipboardAccess {
    Q_OBJECT
public:
    // The one instance of the running application (created on first use, on the thread
    // that owns the QGuiApplication).
    static Clipboard& instance();

    // Every format of the current contents with its data, without the selection
    // protocol's bookkeeping targets and without the formats Qt makes up itself. Another
    // program's contents are read on the selection reader's thread, for at most `budget`:
    // formats not read by then are left out, as are formats whose owner delivers nothing.
    // Our own contents are taken at once. `done` runs later on the main thread.
    void snapshot(SnapshotDone done, std::chrono::milliseconds budget = std::chrono::milliseconds(1000)) override;

    // Replaces the contents with `text` plus the type `markerType` with empty data.
    WriteToken write(const QString& text, const QString& markerType) override;

    // Whether the contents are still the ones `write` put there. A clipboard manager that
    // copied them and took the ownership over counts as unchanged (asking it what it holds
    // is a read like `snapshot`'s).
    void checkUnchanged(const WriteToken& token, std::function<void(bool unchanged)> done) override;

    // True while our written data is still on the clipboard, unreplaced (cheap: asks no
    // other program).
    bool holds(const WriteToken& token) const override;

    // True once another program (or anyone) has fetched the written data.
    bool wasRead(const WriteToken& token) const override;

    // Puts a snapshot back (does nothing with an empty one).
    void restore(const ClipboardSnapshot& snapshot) override;

    // Counts the changes of the contents by anyone but this class.
    std::uint64_t generation() const override { return generation_; }

    void readText(std::function<void(QString)> done) override;

private:
    Clipboard();

    std::uint64_t generation_ = 0;
    bool writing_ = false;
    SelectionReader reader_;
};

}  // namespace platform
