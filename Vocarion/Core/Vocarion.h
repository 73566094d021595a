#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/Models.h"
#include "Vocarion/Core/TranscribeTask.h"

namespace bexmor {
class Progress;
}

namespace vocarion {

class AudioProcessing;
class FeatureExtracting;
class AudioEncoding;
class TextDecoding;
class AudioChunking;
class LogitsFiltering;
class SegmentSeeking;
class VoiceActivityDetector;
class DarivirTokenizer;
class WorkerPool;

// The speech engine. Built from a configuration, it finds (or downloads) a model variant
// folder, loads its three models and its tokenizer, and turns 16 kHz mono samples into
// text. Every call blocks; run them off the user interface's thread. One engine may
// transcribe from several threads at once: its models are shared read-only.
class Vocarion {
public:
    // Receives the overall progress of a download, on the downloading thread.
    using DownloadProgressCallback = std::function<void(const bexmor::Progress&)>;

    // Creates the components (the configuration's own, or the defaults), then, as the
    // configuration says, downloads the variant, loads the models in the order mel,
    // decoder, encoder, and the tokenizer, and prewarms them. Throws DarivirError when the models
    // or the tokenizer are unavailable; the message names the missing file.
    explicit Vocarion(VocarionConfig config = {});
    ~Vocarion();
    Vocarion(const Vocarion&) = delete;
    Vocarion& operator=(const Vocarion&) = delete;

    // Downloads the one folder of the repository (revision "main") whose name matches the
    // variant into downloadBase / "models" / repository id / folder and returns that folder.
    // "AudioEncoder.mlmodelc" comes last, so a folder holding it is complete. Throws when
    // no folder or several match, or when a download fails. Stopping `stop` ends a running
    // transfer (UrlError cancelled); what was written so far stays for the next call to
    // resume.
    static std::filesystem::path download(const std::string& variant,
                                          const std::optional<std::filesystem::path>& downloadBase = std::nullopt,
                                          bool useBackgroundSession = false,
                                          const std::string& from = std::string(Constants::defaultModelRepository),
                                          const std::optional<std::string>& token = std::nullopt,
                                          const std::optional<std::string>& endpoint = std::nullopt,
                                          const DownloadProgressCallback& progressCallback = {},
                                          std::stop_token stop = {});

    // Prewarms each model, in the order mel, decoder, encoder: one prediction on a loaded
    // model; a model not loaded is loaded for that prediction and released.
    void prewarmModels();
    // Loads the models, in the order mel, decoder, encoder, then the tokenizer.
    void loadModels();
    void unloadModels();

    // Transcribes 16 kHz mono samples. With chunking strategy vad and audio longer than
    // one window, the audio is cut at silences and each chunk gives one result, in chunk
    // order, with its times shifted to the chunk's place; a chunk that fails is logged and
    // left out, and when every chunk fails the first chunk's error is thrown. Otherwise
    // one result. Without options the defaults apply.
    std::vector<TranscriptionResult> transcribe(std::span<const float> audioArray,
                                                const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                const TranscriptionCallback& callback = {},
                                                const SegmentDiscoveryCallback& segmentCallback = {});

    // Set once the tokenizer is loaded.
    std::shared_ptr<const DarivirTokenizer> tokenizer() const;
    std::optional<std::filesystem::path> modelFolder() const;

    std::shared_ptr<AudioProcessing> audioProcessor() const { return audioProcessor_; }
    std::shared_ptr<FeatureExtracting> featureExtractor() const { return featureExtractor_; }
    std::shared_ptr<AudioEncoding> audioEncoder() const { return audioEncoder_; }
    std::shared_ptr<TextDecoding> textDecoder() const { return textDecoder_; }
    std::shared_ptr<AudioChunking> audioChunker() const { return audioChunker_; }
    std::shared_ptr<SegmentSeeking> segmentSeeker() const { return segmentSeeker_; }

private:
    void loadAllModels(bool prewarmMode);
    void loadTokenizer();
    TranscriptionComponents components() const;
    std::vector<TranscriptionResult> transcribeChunks(std::span<const float> audio, const DecodingOptions& options,
                                                      size_t windowLength, const TranscriptionCallback& callback,
                                                      const SegmentDiscoveryCallback& segmentCallback);

    VocarionConfig config_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<AudioChunking> audioChunker_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::vector<std::shared_ptr<LogitsFiltering>> logitsFilters_;
    std::unique_ptr<WorkerPool> pool_;

    mutable std::mutex mutex_;
    std::optional<std::filesystem::path> modelFolder_;
    std::shared_ptr<const DarivirTokenizer> tokenizer_;
};

}  // namespace vocarion
