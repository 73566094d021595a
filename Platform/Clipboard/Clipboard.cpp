#include "Platform/Clipboard/Clipboard.h"

#include "Platform/Async/MainThread.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QSet>

namespace platform {

namespace {

// Targets of the selection protocol itself, which Qt lists beside the real formats, and
// the image format Qt synthesises from any image it finds.
bool isBookkeeping(const QString& format)
{
    static const QSet<QString> names{"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE",
                                     "INCR", "application/x-qt-image"};
    return names.contains(format);
}

// The data we put on the clipboard, which notes when someone fetches it: on X11 the
// pasting program reads it from us, some time after the paste keystroke.
class WrittenData : public QMimeData {
public:
    explicit WrittenData(std::shared_ptr<Clipboard::WriteToken::State> state) : state_(std::move(state)) {}
    ~WrittenData() override { state_->alive = false; }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        state_->read = true;
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    std::shared_ptr<Clipboard::WriteToken::State> state_;
};

QClipboard* systemClipboard()
{
    // A checked cast: in a process with a plain core application qGuiApp would be a
    // downcast to a type the object does not have.
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr ? QGuiApplication::clipboard() : nullptr;
}

// Another X client owns the clipboard: its contents must be asked for, off the main thread.
// On other platforms (offscreen) the clipboard lives in this process.
bool readsForeignOwner(const QClipboard& clipboard)
{
    return QGuiApplication::platformName() == QStringLiteral("xcb") && !clipboard.ownsClipboard();
}

}  // namespace

Clipboard& Clipboard::instance()
{
    static Clipboard* clipboard = new Clipboard();
    return *clipboard;
}

Clipboard::Clipboard()
{
    if (QClipboard* clipboard = systemClipboard()) {
        connect(clipboard, &QClipboard::changed, this, [this](QClipboard::Mode mode) {
            if (mode == QClipboard::Clipboard && !writing_) ++generation_;
        });
    }
}

void Clipboard::snapshot(SnapshotDone done, std::chrono::milliseconds budget)
{
    const QPointer<QObject> receiver(this);
    QClipboard* clipboard = systemClipboard();
    if (clipboard == nullptr) {
        platform::deliver(receiver, [done = std::move(done)] { done({}); });
        return;
    }
    if (readsForeignOwner(*clipboard)) {
        reader_.read(budget, [receiver, done = std::move(done)](ClipboardSnapshot read) {
            ClipboardSnapshot snapshot;
            for (auto& [format, bytes] : read.formats) {
                if (!bytes.isEmpty()) snapshot.formats.emplace_back(format, std::move(bytes));
            }
            platform::deliver(receiver, [done, snapshot = std::move(snapshot)] { done(snapshot); });
        });
        return;
    }
    // Our own data (or a clipboard that lives in this process): no other program to ask.
    ClipboardSnapshot result;
    if (const QMimeData* data = clipboard->mimeData(QClipboard::Clipboard)) {
        for (const QString& format : data->formats()) {
            if (isBookkeeping(format)) continue;
            QByteArray bytes = data->data(format);
            if (bytes.isEmpty()) continue;
            result.formats.emplace_back(format, std::move(bytes));
        }
    }
    platform::deliver(receiver, [done = std::move(done), result = std::move(result)] { done(result); });
}

Clipboard::WriteToken Clipboard::write(const QString& text, const QString& markerType)
{
    WriteToken token;
    token.text = text;
    token.markerType = markerType;
    QClipboard* clipboard = systemClipboard();
    if (clipboard == nullptr) return token;
    token.state = std::make_shared<WriteToken::State>();
    auto* data = new WrittenData(token.state);
    data->setText(text);
    data->setData(markerType, QByteArray());
    writing_ = true;
    clipboard->setMimeData(data, QClipboard::Clipboard);
    writing_ = false;
    token.generation = generation_;
    token.data = data;
    return token;
}

bool Clipboard::holds(const WriteToken& token) const
{
    QClipboard* clipboard = systemClipboard();
    return clipboard != nullptr && token.data != nullptr && token.state && token.state->alive &&
           generation_ == token.generation && clipboard->ownsClipboard() &&
           clipboard->mimeData(QClipboard::Clipboard) == token.data;
}

void Clipboard::checkUnchanged(const WriteToken& token, std::function<void(bool unchanged)> done)
{
    QClipboard* clipboard = systemClipboard();
    if (holds(token) || clipboard == nullptr || token.data == nullptr) {
        platform::deliver(this, [done = std::move(done), unchanged = holds(token)] { done(unchanged); });
        return;
    }
    if (!readsForeignOwner(*clipboard)) {
        // Contents in this process: looked at here, the same way.
        const QMimeData* current = clipboard->mimeData(QClipboard::Clipboard);
        const bool unchanged = !clipboard->ownsClipboard() && current != nullptr && current->hasFormat(token.markerType) &&
                               current->hasText() && current->text() == token.text;
        platform::deliver(this, [done = std::move(done), unchanged] { done(unchanged); });
        return;
    }
    // A clipboard manager takes every new content over at once; when what it offers is
    // exactly our text with our marker, the user's own contents are still to be put back.
    const QPointer<QObject> receiver(this);
    reader_.read(std::chrono::milliseconds(1000), [receiver, token, done = std::move(done)](ClipboardSnapshot current) {
        bool marked = false;
        std::optional<QString> text;
        for (const auto& [format, bytes] : current.formats) {
            if (format == token.markerType) marked = true;
            if (format == QStringLiteral("text/plain")) text = QString::fromUtf8(bytes);
        }
        platform::deliver(receiver, [done, unchanged = marked && text == token.text] { done(unchanged); });
    });
}

bool Clipboard::wasRead(const WriteToken& token) const
{
    return token.state && token.state->read;
}

void Clipboard::restore(const ClipboardSnapshot& snapshot)
{
    QClipboard* clipboard = systemClipboard();
    if (clipboard == nullptr || snapshot.empty()) return;
    auto* data = new QMimeData();
    for (const auto& [format, bytes] : snapshot.formats) data->setData(format, bytes);
    writing_ = true;
    clipboard->setMimeData(data, QClipboard::Clipboard);
    writing_ = false;
}

void Clipboard::readText(std::function<void(QString)> done)
{
    snapshot([done = std::move(done)](const ClipboardSnapshot& current) {
        for (const auto& [format, bytes] : current.formats) {
            if (format == QStringLiteral("text/plain")) {
                done(QString::fromUtf8(bytes));
                return;
            }
        }
        done(QString());
    });
}

}  // namespace platform
