#pragma once

#include "KorvuDarivir/Dictation/DictationController.h"

#include <memory>
#include <utility>

namespace testsupport {

// The application's speech seam passed through to another one, for tests and benchmarks
// that watch what the controller asks of the real transcriber: a subclass overrides the
// call it watches and hands it on with the base's.
class ForwardingSpeech : public korvu::DictationController::Speech {
public:
    explicit ForwardingSpeech(std::unique_ptr<Speech> inner) : inner_(std::move(inner)) {}
    void setOnStateChange(std::function<void(const korvu::ModelState&)> handler) override
    {
        inner_->setOnStateChange(std::move(handler));
    }
    bool isModelPresent() override { return inner_->isModelPresent(); }
    void load() override { inner_->load(); }
    void transcribe(std::vector<float> samples, const std::optional<QString>& language, const QStringList& vocabulary,
                    korvu::Transcriber::Completion done) override
    {
        inner_->transcribe(std::move(samples), language, vocabulary, std::move(done));
    }

private:
    std::unique_ptr<Speech> inner_;
};

}  // namespace testsupport
