#pragma once

#include "Platform/Clipboard/ClipboardAccess.h"

namespace fakes {

// A clipboard in memory. `writeByOtherProgram` plays another program that copies; `fetch`
// plays a program that pastes (it reads what we wrote).
class FakeClipboard final : public platform::ClipboardAccess {
public:
    platform::ClipboardSnapshot contents;
    int restores = 0;

    platform::ClipboardSnapshot snapshot(std::chrono::milliseconds) const override { return contents; }

    WriteToken write(const QString& text, const QString& markerType) override
    {
        forget();
        current_ = std::make_shared<WriteToken::State>();
        contents.formats = {{QStringLiteral("text/plain"), text.toUtf8()}, {markerType, {}}};
        return WriteToken{generation_, nullptr, current_, text, markerType};
    }

    bool isUnchanged(const WriteToken& token) const override
    {
        return current_ && token.state == current_ && current_->alive && token.generation == generation_;
    }
    bool holds(const WriteToken& token) const override { return isUnchanged(token); }
    bool wasRead(const WriteToken& token) const override { return token.state && token.state->read; }

    void restore(const platform::ClipboardSnapshot& snapshot) override
    {
        if (snapshot.empty()) return;
        forget();
        contents = snapshot;
        ++restores;
    }

    std::uint64_t generation() const override { return generation_; }

    QString text() const override
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
