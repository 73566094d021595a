#include "KorvuDarivir/TextInserter.h"

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

}  // namespace

void TextInserter::insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> done)
{
    insert(text, pid, std::move(done), Timing{});
}

void TextInserter::insert(const QString& text, std::optional<std::int64_t> pid, std::function<void()> done,
                          Timing timing)
{
    platform::ClipboardQueue::enqueue([text, pid, done = std::move(done), timing](auto finished) {
        auto paste = [text, done, timing, finished] {
            auto& clipboard = platform::Clipboard::instance();
            auto snapshot = std::make_shared<platform::ClipboardSnapshot>(clipboard.snapshot());
            const auto token = clipboard.write(text, QString::fromLatin1(transientType));
            postPaste();
            after(timing.paste, [snapshot, token, done, finished] {
                auto& clipboard = platform::Clipboard::instance();
                if (clipboard.isUnchanged(token) && !snapshot->empty()) clipboard.restore(*snapshot);
                finished();
                if (done) done();
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
