#pragma once

#include "KorvuDarivir/Dictation/DictationController.h"

#include <functional>
#include <optional>
#include <vector>

namespace fakes {

// A speech model that answers when the test says so: each transcription is kept with what
// it was given (the samples too) until `answer` completes the last one.
class FakeSpeech final : public korvu::DictationController::Speech {
public:
    struct Call {
        std::vector<float> samples;
        std::optional<QString> language;
        QStringList vocabulary;
        korvu::Transcriber::Completion done;
    };
    std::function<void(const korvu::ModelState&)> onState;
    bool present = false;
    int loads = 0;
    std::vector<Call> calls;

    void setOnStateChange(std::function<void(const korvu::ModelState&)> handler) override
    {
        onState = std::move(handler);
    }
    bool isModelPresent() override { return present; }
    void load() override { ++loads; }
    void transcribe(std::vector<float> samples, const std::optional<QString>& language, const QStringList& vocabulary,
                    korvu::Transcriber::Completion done) override
    {
        calls.push_back({std::move(samples), language, vocabulary, std::move(done)});
    }
    void answer(const QString& text) { calls.back().done(text, nullptr); }
};

}  // namespace fakes
