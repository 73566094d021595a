#include "KorvuDarivir/Dictation/TextInserter.h"

#include "KorvuDarivir/Dictation/Inserter.h"

#include "Platform/Clipboard/Clipboard.h"
#include "Platform/Clipboard/ClipboardQueue.h"
#include "Platform/Input/ActiveWindow.h"
#include "Platform/Input/SyntheticKeys.h"

#include <QCoreApplication>
#include <QTimer>

#include <X11/keysym.h>

#include <memory>

namespace korvu {

namespace {

// The V key of a PC keyboard, for a layout that has no "v" at all.
constexpr std::uint8_t kVKeyCode = 55;

void after(std::chrono::milliseconds delay, std::function<void()> next)
{
    if (delay.count() <= 0) {
        next();
        return;
    }
    QTimer::singleShot(delay, QCoreApplication::instance(), std::move(next));
}

// Goes on once the written text has been fetched, the clipboard has changed, or `grace`
// has run out, whichever comes first.
void awaitRead(const platform::Clipboard::WriteToken& token, std::chrono::milliseconds grace,
               std::function<void()> next)
{
    constexpr std::chrono::milliseconds step{25};
    const auto& clipboard = platform::Clipboard::instance();
    if (grace.count() <= 0 || clipboard.wasRead(token) || !clipboard.holds(token)) {
        next();
        return;
    }
    after(step, [token, grace, step, next = std::move(next)] { awaitRead(token, grace - step, next); });
}

class ClipboardInserter final : public Inserter {
public:
    void insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> pasted,
                std::function<void()> done) override
    {
        TextInserter::insert(text, pid, std::move(pasted), std::move(done), TextInserter::Timing{});
    }
};

}  // namespace

Inserter& Inserter::desktop()
{
    static ClipboardInserter inserter;
    return inserter;
}

void TextInserter::insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> done)
{
    insert(text, pid, std::move(done), Timing{});
}

void TextInserter::insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> done,
                          Timing timing)
{
    insert(text, pid, {}, std::move(done), timing);
}

void TextInserter::insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> pasted,
                          std::function<void()> done, Timing timing, PasteKeys keys)
{
    platform::ClipboardQueue::enqueue([text, pid, pasted = std::move(pasted), done = std::move(done), timing, keys](auto finished) {
        auto paste = [text, pasted, done, timing, finished, keys] {
            // The user's contents are read off the main thread: their owner may be slow or
            // hung, and meanwhile the application goes on answering.
            platform::Clipboard::instance().snapshot([text, pasted, done, timing, finished, keys](platform::ClipboardSnapshot taken) {
                auto& clipboard = platform::Clipboard::instance();
                auto snapshot = std::make_shared<platform::ClipboardSnapshot>(std::move(taken));
                const auto token = clipboard.write(text, QString::fromLatin1(transientType));
                keys ? keys() : postPaste();
                // The target fetches the text from us through the event loop, so whatever
                // runs here is done before the text can appear there.
                if (pasted) pasted();
                auto restore = [snapshot, token, done, finished] {
                    platform::Clipboard::instance().checkUnchanged(token, [snapshot, done, finished](bool unchanged) {
                        if (unchanged && !snapshot->empty()) platform::Clipboard::instance().restore(*snapshot);
                        finished();
                        if (done) done();
                    });
                };
                after(timing.paste, [token, timing, restore] { awaitRead(token, timing.unreadGrace, restore); });
            });
        };
        if (pid && platform::ActiveWindow::activate(*pid) == platform::ActiveWindow::Activation::activated) {
            after(timing.activation, paste);
        } else {
            paste();
        }
    });
}

void TextInserter::postPaste()
{
    platform::SyntheticKeys::controlChord(XK_v, kVKeyCode);
}

}  // namespace korvu
