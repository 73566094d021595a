#pragma once

#include "Platform/Async/MainThread.h"
#include "Platform/Clipboard/ClipboardAccess.h"

#include <QCoreApplication>

namespace fakes {

// A clipboard in memory. `writeByOtherProgram` plays another program that copies; `fetch`
// plays a program that pastes (it reads what we wrote). Reads answer as queued calls, as
// the desktop's do, with the contents as they are when the call is made.
class FakeClipboard final : public platform::ClipboardAccess {
public:
    platform::ClipboardSnapshot contents;
    int restores = 0;

    void snapshot(SnapshotDone done, std::chrono::milliseconds) override
    {
        platform::deliver(QCoreApplication::instance(), [done = std::move(done), now = contents] { done(now); });
    }

    WriteToken write(const QString& text, const QString& markerType) override
    {
        forget();
        current_ = std::make_shared<WriteToken::State>();
        contents.formats = {{QStringLiteral("text/plain"), text.toUtf8()}, {markerType, {}}};
        return WriteToken{generation_, nullptr, current_, text, markerType};
    }

    void checkUnchanged(const WriteToken& token, std::function<void(bool)> done) override
    {
        platform::deliver(QCoreApplication::instance(), [done = std::move(done), now = holds(token)] { done(now); });
    }
    bool holds(const WriteToken& token) const override
    {
        return current_ && token.state == current_ && current_->alive && token.generation == generation_;
    }
    bool wasRead(const WriteToken& token) const override { return token.state && token.state->read; }

    void restore(const platform::ClipboardSnapshot& snapshot) override
    {
        if (snapshot.empty()) return;
        forget();
        contents = snapshot;
        ++restores;
    }

    std::uint64_t generation() const override { return generation_; }

    void readText(std::function<void(QString)> done) override
    {
        platform::deliver(QCoreApplication::instance(), [done = std::move(done), now = text()] { done(now); });
    }

    QString text() const
    {
        for (const auto& [format, bytes] : contents.formats) {
            if (format == QStringLiteral("text/plain")) return QString::fromUtf8(bytes);
        }
        return {};
    }

    void writeByOtherProgram(const QString& text)
    {
        forget();
        contents.formats = {{QStringLiteral("text/plain"), text.toUtf8()}};
        ++generation_;
    }

    void fetch()
    {
        if (current_) current_->read = true;
    }

private:
    void forget()
    {
        if (current_) current_->alive = false;
        current_.reset();
    }

    std::shared_ptr<WriteToken::State> current_;
    std::uint64_t generation_ = 0;
};

}  // namespace fakes
