#include "Platform/Clipboard/Clipboard.h"

#include <QClipboard>
#include <QElapsedTimer>
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

ClipboardSnapshot Clipboard::snapshot(std::chrono::milliseconds budget) const
{
    ClipboardSnapshot result;
    QClipboard* clipboard = systemClipboard();
    if (clipboard == nullptr) return result;
    const QMimeData* data = clipboard->mimeData(QClipboard::Clipboard);
    if (data == nullptr) return result;
    QElapsedTimer clock;
    clock.start();
    for (const QString& format : data->formats()) {
        if (clock.elapsed() > budget.count()) break;
        if (isBookkeeping(format)) continue;
        QByteArray bytes = data->data(format);
        if (bytes.isEmpty()) continue;
        result.formats.emplace_back(format, std::move(bytes));
    }
    return result;
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

bool Clipboard::isUnchanged(const WriteToken& token) const
{
    if (holds(token)) return true;
    QClipboard* clipboard = systemClipboard();
    if (clipboard == nullptr || token.data == nullptr || clipboard->ownsClipboard()) return false;
    // A clipboard manager takes every new content over at once; when what it offers is
    // exactly our text with our marker, the user's own contents are still to be put back.
    const QMimeData* current = clipboard->mimeData(QClipboard::Clipboard);
    return current != nullptr && current->hasFormat(token.markerType) && current->hasText() &&
           current->text() == token.text;
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

QString Clipboard::text() const
{
    QClipboard* clipboard = systemClipboard();
    return clipboard != nullptr ? clipboard->text(QClipboard::Clipboard) : QString();
}

}  // namespace platform
