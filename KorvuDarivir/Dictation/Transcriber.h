#pragma once

#include "KorvuDarivir/Store/ModelState.h"
#include "KorvuDarivir/Store/Vocabulary.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <exception>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

namespace vocarion {
class Vocarion;
struct DecodingOptions;
struct VocarionConfig;
class DarivirTokenizer;
}

namespace korvu {

// The transcriber's own error: a dictation arrived before the speech model was loaded.
class TranscriberError : public std::exception {
public:
    enum class Kind { notReady };

    static TranscriberError notReady() { return TranscriberError(Kind::notReady); }

    Kind kind() const { return kind_; }
    // "Das Sprachmodell ist noch nicht geladen."
    QString description() const;
    const char* what() const noexcept override;

private:
    explicit TranscriberError(Kind kind) : kind_(kind) {}
    Kind kind_;
};

// Owns the application's one speech engine: makes sure the model variant is on disk
// (downloading it once through the engine), builds the engine, reports the model's state,
// and turns recordings into dictated text.
//
// Main thread only. The engine's download, loading and transcription run on threads the
// transcriber owns; their results come back to the main thread through platform::deliver
// and are dropped when the transcriber no longer exists. Destroying the transcriber (the
// application quitting) stops a download at once (what it wrote stays, and the next load
// resumes it) and a transcription at its next window, and waits for them and for a model
// that is being built, so no engine work runs on into the process's teardown.
class Transcriber : public QObject {
    Q_OBJECT
public:
    using StateHandler = std::function<void(const ModelState&)>;
    // The text (possibly empty) when `error` is null; otherwise the error: a
    // TranscriberError or the engine's own error, unchanged.
    using Completion = std::function<void(const QString& text, std::exception_ptr error)>;

    static constexpr const char* repositoryId = "bexmorinc/vocarion-coreml";
    static constexpr const char* variantName = "darivir-large-v3-v20240930_turbo_632MB";
    // The file whose presence says a variant folder is complete (the download writes it
    // last).
    static constexpr const char* presenceMarker = "AudioEncoder.mlmodelc";

    explicit Transcriber(QObject* parent = nullptr);
    ~Transcriber() override;

    // The support directory's "Models": the engine's download base and tokenizer folder.
    static std::filesystem::path modelsBaseDirectory();
    // Where the engine's download puts the variant: base / "models" / repository / variant.
    static std::filesystem::path modelDirectory();
    // True when "AudioEncoder.mlmodelc" (file or folder) exists in modelDirectory().
    static bool isModelPresent();

    const ModelState& state() const { return state_; }
    // Called synchronously after every assignment that changes the state.
    void setOnStateChange(StateHandler handler) { onStateChange_ = std::move(handler); }
    bool isLoading() const { return isLoading_; }
    bool isReady() const { return darivir_ != nullptr; }

    // Downloads the variant when it is absent, then builds the engine. Returns at once;
    // the outcome shows in the state (ready or failed). Does nothing while a load runs or
    // once the engine exists.
    void load();

    // Transcribes 16 kHz mono samples. `language` is a language code, or none to let the
    // engine detect it; `vocabulary` the user's terms in stored order. `done` is called
    // later on the main thread, never from within this call, and not at all when the
    // transcriber is gone by then.
    void transcribe(std::vector<float> samples, const std::optional<QString>& language, const QStringList& vocabulary,
                    Completion done);

    // Removes bracketed and starred markers, folds white space, and drops a text that is
    // only a known subtitle credit or closing phrase. Pure.
    static QString postProcess(const QString& text);

    // The dictated text from the engine's result texts: joined with one space,
    // post-processed, emptied when it only echoes the vocabulary prompt, and with the
    // vocabulary's terms in their stored spelling.
    static QString dictationText(const QStringList& resultTexts, const QStringList& vocabulary);
    // The same with the spelling pass of the vocabulary, whose terms are the vocabulary.
    static QString dictationText(const QStringList& resultTexts, const Vocabulary::SpellingPass& spelling);
    // The vocabulary as a prompt text: the terms joined with ", " and a closing "."; empty
    // for an empty vocabulary.
    static QString promptText(const QStringList& vocabulary);
    // The configuration the engine is built from: the model folder, the models base
    // directory for the tokenizer, errors-only logging, prewarm and load on, download off.
    static vocarion::VocarionConfig engineConfiguration(const std::filesystem::path& modelFolder);
    // The prompt's token ids, as the tokenizer encodes " " + prompt, special ids left out.
    static std::vector<int> promptTokens(const vocarion::DarivirTokenizer& tokenizer, const QString& prompt);
    // The decoding options every dictation uses (without prompt tokens).
    static vocarion::DecodingOptions decodingOptions(const std::optional<QString>& language);
    // The text lower-cased, with only its letters and digits kept.
    static QString normalizedForEcho(const QString& text);

private:
    void setState(const ModelState& state);
    void applyDownloadProgress(double fraction);
    void prepare(const std::filesystem::path& modelFolder);
    void finishLoading(std::shared_ptr<vocarion::Vocarion> engine, const QString& failure);

    // Starts `work` on a thread of its own, which the destructor asks to stop and joins;
    // the exception when no thread could be started.
    std::exception_ptr startWorker(std::function<void(std::stop_token)> work);

    // One thread of engine work; it sets `finished` as its last step.
    struct Worker {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::list<Worker> workers_;
    StateHandler onStateChange_;
    ModelState state_ = ModelState::notLoaded;
    std::shared_ptr<vocarion::Vocarion> darivir_;
    bool isLoading_ = false;
    // The spelling pass of the vocabulary the last dictation was handed, kept while the
    // next ones are handed the same list: its expressions are compiled once, on a thread
    // of the first dictation that uses them.
    Vocabulary::SpellingPass spelling_;
};

}  // namespace korvu
