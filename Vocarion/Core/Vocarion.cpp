#include "Vocarion/Core/Vocarion.h"

#include <algorithm>
#include <atomic>
#include <exception>

#include "BexmorCore/HubWrapper.h"
#include "BexmorCore/External/Hub/Progress.h"
#include "BexmorCore/Logging.h"
#include "Platform/ML/MlError.h"
#include "Platform/ML/PrecisionChoice.h"
#include "Vocarion/Core/Audio/AudioChunker.h"
#include "Vocarion/Core/Audio/AudioProcessor.h"
#include "Vocarion/Core/Audio/EnergyVAD.h"
#include "Vocarion/Core/AudioEncoder.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/FeatureExtractor.h"
#include "Vocarion/Core/Text/LogitsFilter.h"
#include "Vocarion/Core/Text/SegmentSeeker.h"
#include "Vocarion/Core/TextDecoder.h"
#include "Vocarion/Utilities/DarivirError.h"
#include "Vocarion/Utilities/WorkerPool.h"

namespace vocarion {

namespace {

constexpr const char* kMelName = "MelSpectrogram";
constexpr const char* kDecoderName = "TextDecoder";
constexpr const char* kEncoderName = "AudioEncoder";

std::filesystem::path modelFile(const std::filesystem::path& folder, const std::string& name) {
    return folder / (name + ".mlmodelc");
}

// Escapes the glob characters of a literal file name.
std::string literalGlob(const std::string& name) {
    std::string glob;
    for (char c : name) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') glob += '\\';
        glob += c;
    }
    return glob;
}

}  // namespace

Vocarion::Vocarion(VocarionConfig config) : config_(std::move(config)) {
    bexmor::Logging::updateLogLevel(config_.verbose ? config_.logLevel : bexmor::Logging::LogLevel::none);

    audioProcessor_ = config_.audioProcessor ? config_.audioProcessor : std::make_shared<AudioProcessor>();
    featureExtractor_ = config_.featureExtractor ? config_.featureExtractor : std::make_shared<FeatureExtractor>();
    audioEncoder_ = config_.audioEncoder ? config_.audioEncoder : std::make_shared<AudioEncoder>();
    textDecoder_ = config_.textDecoder ? config_.textDecoder : std::make_shared<TextDecoder>();
    segmentSeeker_ = config_.segmentSeeker ? config_.segmentSeeker : std::make_shared<SegmentSeeker>();
    std::shared_ptr<const VoiceActivityDetector> detector = config_.voiceActivityDetector;
    if (!detector) detector = std::make_shared<EnergyVAD>();
    audioChunker_ = std::make_shared<VADAudioChunker>(detector);
    if (config_.logitsFilters) logitsFilters_ = *config_.logitsFilters;
    pool_ = std::make_unique<WorkerPool>();

    if (config_.modelFolder) {
        modelFolder_ = std::filesystem::path(*config_.modelFolder);
    } else if (config_.download) {
        if (!config_.model) throw DarivirError::modelsUnavailable("no model folder and no model variant to download");
        modelFolder_ = download(*config_.model, config_.downloadBase, config_.useBackgroundDownloadSession,
                                config_.modelRepo.value_or(std::string(Constants::defaultModelRepository)),
                                config_.modelToken, config_.modelEndpoint.value_or(Constants::defaultRemoteEndpoint()));
    }

    // Load first, then warm the loaded models up: one load per model, and the first real
    // window pays no cold start.
    if (config_.load.value_or(modelFolder_.has_value())) loadModels();
    if (config_.prewarm.value_or(false)) prewarmModels();
}

Vocarion::~Vocarion() = default;

std::filesystem::path Vocarion::download(const std::string& variant, const std::optional<std::filesystem::path>& downloadBase,
                                         bool useBackgroundSession, const std::string& from,
                                         const std::optional<std::string>& token,
                                         const std::optional<std::string>& endpoint,
                                         const DownloadProgressCallback& progressCallback, std::stop_token stop) {
    const bexmor::HubApiWrapper hub(downloadBase, token, endpoint.value_or(Constants::defaultRemoteEndpoint()),
                                   useBackgroundSession);
    const bexmor::HubApiWrapper::Repo repo{from, bexmor::HubApiWrapper::RepoType::models};

    // The one folder whose name matches the variant: an exact name wins over names that
    // merely end in it.
    const auto files = hub.getFilenames(repo, "main", {"*" + literalGlob(variant) + "/*"}, stop);
    std::vector<std::string> folders;
    for (const auto& file : files) {
        const auto slash = file.find('/');
        if (slash == std::string::npos) continue;
        auto folder = file.substr(0, slash);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(std::move(folder));
    }
    std::string folder;
    if (std::find(folders.begin(), folders.end(), variant) != folders.end()) {
        folder = variant;
    } else if (folders.size() == 1) {
        folder = folders.front();
    } else if (folders.empty()) {
        throw DarivirError::modelsUnavailable("no model folder matching \"" + variant + "\" in " + from);
    } else {
        std::string names;
        for (const auto& name : folders) names += (names.empty() ? "" : ", ") + name;
        throw DarivirError::modelsUnavailable("several model folders match \"" + variant + "\" in " + from + ": " + names);
    }

    // Everything but the encoder first, the encoder last: the transcriber takes a folder
    // holding "AudioEncoder.mlmodelc" as complete.
    const std::string encoderPrefix = folder + "/" + kEncoderName + ".mlmodelc";
    std::vector<std::string> others, encoder;
    for (const auto& file : files) {
        if (file.rfind(folder + "/", 0) != 0) continue;
        const bool isEncoder = file.rfind(encoderPrefix + "/", 0) == 0 || file == encoderPrefix;
        (isEncoder ? encoder : others).push_back(literalGlob(file));
    }
    bexmor::Progress overall(static_cast<int64_t>(others.size() + encoder.size()));
    constexpr int64_t kPhaseUnits = 1000;
    auto runPhase = [&](const bexmor::HubApiWrapper& client, const std::vector<std::string>& globs) {
        if (globs.empty()) return;
        auto phase = overall.addChild(kPhaseUnits, static_cast<int64_t>(globs.size()));
        client.snapshot(repo, "main", globs, [&](const bexmor::Progress& progress) {
            const double fraction = std::clamp(progress.fractionCompleted(), 0.0, 1.0);
            phase->setCompletedUnitCount(static_cast<int64_t>(fraction * kPhaseUnits));
            if (const auto speed = progress.throughput()) overall.setThroughput(*speed);
            if (progressCallback) progressCallback(overall);
        }, stop);
        phase->setCompletedUnitCount(kPhaseUnits);
    };
    runPhase(hub, others);

    const auto repoFolder = hub.localRepoLocation(repo);
    const std::string encoderFolder = std::string(kEncoderName) + ".mlmodelc";
    const auto finalEncoder = repoFolder / folder / encoderFolder;
    std::error_code error;
    if (encoder.empty() || std::filesystem::exists(finalEncoder, error)) {
        runPhase(hub, encoder);
    } else {
        // The encoder's folder must appear whole or not at all: its files go to a hidden
        // staging cache first (where an interrupted transfer resumes next time), and the
        // folder is moved into place, with its metadata records, once every file is there.
        const auto stagingBase = repoFolder / ".staging";
        const bexmor::HubApiWrapper staging(stagingBase, token, endpoint.value_or(Constants::defaultRemoteEndpoint()),
                                            useBackgroundSession);
        runPhase(staging, encoder);
        const auto stagedRepo = staging.localRepoLocation(repo);
        const auto stagedRecords = bexmor::HubApi::metadataFolder(stagedRepo) / folder / encoderFolder;
        const auto records = bexmor::HubApi::metadataFolder(repoFolder) / folder / encoderFolder;
        if (std::filesystem::is_directory(stagedRecords, error)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(stagedRecords)) {
                if (!entry.is_regular_file() || entry.path().extension() != ".metadata") continue;
                const auto target = records / std::filesystem::relative(entry.path(), stagedRecords);
                std::filesystem::create_directories(target.parent_path());
                std::filesystem::rename(entry.path(), target);
            }
        }
        std::filesystem::rename(stagedRepo / folder / encoderFolder, finalEncoder);
        std::filesystem::remove_all(stagingBase, error);
    }
    if (progressCallback) progressCallback(overall);
    return hub.localRepoLocation(repo) / folder;
}

namespace {

void loadComponent(ModelComponent* component, const std::filesystem::path& folder, const char* name,
                   platform::ml::ComputeUnits units, bool prewarmMode) {
    if (!component) return;  // a component of the caller's own that brings its model itself
    const auto file = modelFile(folder, name);
    std::error_code error;
    if (!std::filesystem::exists(file, error))
        throw DarivirError::modelsUnavailable(std::string(name) + ".mlmodelc is missing in " + folder.string());
    try {
        component->loadModel(file, units, prewarmMode);
    } catch (const platform::ml::MlError& e) {
        throw DarivirError::modelsUnavailable(e.what());
    }
}

}  // namespace

void Vocarion::loadAllModels(bool prewarmMode) {
    const auto folder = modelFolder();
    if (!folder) throw DarivirError::modelsUnavailable("no model folder is set");
    const auto compute = config_.computeOptions.value_or(ModelComputeOptions{});
    bexmor::Logging::info(prewarmMode ? "Prewarming models in" : "Loading models from", folder->string());
    bexmor::Logging::info("Matrix products in", platform::ml::automaticPrecision().reason);
    loadComponent(dynamic_cast<ModelComponent*>(featureExtractor_.get()), *folder, kMelName, compute.melCompute, prewarmMode);
    loadComponent(dynamic_cast<ModelComponent*>(textDecoder_.get()), *folder, kDecoderName, compute.textDecoderCompute,
                  prewarmMode);
    loadComponent(dynamic_cast<ModelComponent*>(audioEncoder_.get()), *folder, kEncoderName, compute.audioEncoderCompute,
                  prewarmMode);
}

void Vocarion::prewarmModels() { loadAllModels(true); }

void Vocarion::loadModels() {
    loadAllModels(false);
    loadTokenizer();
}

void Vocarion::unloadModels() {
    for (auto* component : {dynamic_cast<ModelComponent*>(featureExtractor_.get()),
                            dynamic_cast<ModelComponent*>(textDecoder_.get()),
                            dynamic_cast<ModelComponent*>(audioEncoder_.get())})
        if (component) component->unloadModel();
}

void Vocarion::loadTokenizer() {
    const auto folder = modelFolder();
    DarivirTokenizer::LoadOptions options;
    options.modelFolder = folder;
    options.tokenizerFolder = config_.tokenizerFolder;
    if (config_.modelRepo) options.repository = *config_.modelRepo;
    options.token = config_.modelToken;
    options.endpoint = config_.modelEndpoint;
    options.useBackgroundSession = config_.useBackgroundDownloadSession;
    // The tokenizer is small and nothing works without it: a folder without one is
    // completed from the hub whatever the engine's download setting (which is about models).
    std::shared_ptr<const DarivirTokenizer> tokenizer = DarivirTokenizer::load(options);
    std::lock_guard lock(mutex_);
    tokenizer_ = std::move(tokenizer);
}

std::shared_ptr<const DarivirTokenizer> Vocarion::tokenizer() const {
    std::lock_guard lock(mutex_);
    return tokenizer_;
}

std::optional<std::filesystem::path> Vocarion::modelFolder() const {
    std::lock_guard lock(mutex_);
    return modelFolder_;
}

TranscriptionComponents Vocarion::components() const {
    return {audioProcessor_, featureExtractor_, audioEncoder_, textDecoder_, segmentSeeker_, logitsFilters_, tokenizer()};
}

std::vector<TranscriptionResult> Vocarion::transcribe(std::span<const float> audioArray,
                                                      const std::optional<DecodingOptions>& decodeOptions,
                                                      const TranscriptionCallback& callback,
                                                      const SegmentDiscoveryCallback& segmentCallback) {
    const DecodingOptions options = decodeOptions.value_or(DecodingOptions());
    if (!tokenizer()) throw DarivirError::tokenizerUnavailable("the engine's models are not loaded");
    (void)TranscribeTask::clipRanges(options, audioArray.size());  // options the engine cannot apply fail here, once
    const size_t windowLength = featureExtractor_->windowSamples();
    // Clips are seek bounds over the whole audio; chunks would each start over.
    if (options.chunkingStrategy == ChunkingStrategy::vad && options.clipTimestamps.empty() &&
        audioArray.size() > windowLength)
        return transcribeChunks(audioArray, options, windowLength, callback, segmentCallback);
    return {TranscribeTask(components()).run(audioArray, options, callback, segmentCallback)};
}

std::vector<TranscriptionResult> Vocarion::transcribeChunks(std::span<const float> audio, const DecodingOptions& options,
                                                            size_t windowLength, const TranscriptionCallback& callback,
                                                            const SegmentDiscoveryCallback& segmentCallback) {
    const auto chunks = audioChunker_->chunkAll(audio, windowLength);
    bexmor::Logging::debug("Transcribing", chunks.size(), "chunks");
    const TranscribeTask task(components());
    std::vector<std::optional<TranscriptionResult>> results(chunks.size());
    std::vector<std::exception_ptr> errors(chunks.size());
    // A stop asked for by the callback of any chunk stops them all: running chunks after
    // their window, chunks not yet started at once.
    std::atomic<bool> stopped{false};
    TranscriptionCallback sharedCallback = [&](const TranscriptionProgress& progress) -> std::optional<bool> {
        std::optional<bool> proceed;
        if (!stopped && callback) proceed = callback(progress);
        if (proceed && !*proceed) stopped = true;
        return stopped ? std::optional<bool>(false) : proceed;
    };
    const size_t batchSize = options.concurrentWorkerCount > 0 ? static_cast<size_t>(options.concurrentWorkerCount)
                                                               : chunks.size();
    for (size_t first = 0; first < chunks.size() && !stopped; first += batchSize) {
        const size_t last = std::min(chunks.size(), first + batchSize);
        std::vector<std::function<void()>> batch;
        for (size_t i = first; i < last; ++i) {
            batch.push_back([&, i] {
                if (stopped) return;
                try {
                    const auto& chunk = chunks[i];
                    auto result = task.run(audio.subspan(chunk.start, chunk.length()), options, sharedCallback,
                                           segmentCallback);
                    const float offset = static_cast<float>(chunk.start) / Constants::sampleRate;
                    for (auto& segment : result.segments) {
                        segment.start += offset;
                        segment.end += offset;
                        segment.seek += static_cast<int>(chunk.start / Constants::hopLength);
                    }
                    result.seekTime = static_cast<int>(chunk.start);
                    results[i] = std::move(result);
                } catch (...) {
                    errors[i] = std::current_exception();
                }
            });
        }
        pool_->runAll(std::move(batch));
    }

    std::vector<TranscriptionResult> transcriptions;
    std::exception_ptr firstError;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (results[i]) {
            transcriptions.push_back(std::move(*results[i]));
            continue;
        }
        if (!errors[i]) continue;  // not started: the transcription was stopped
        if (!firstError) firstError = errors[i];
        try {
            std::rethrow_exception(errors[i]);
        } catch (const std::exception& e) {
            bexmor::Logging::error("Chunk", i, "failed and is left out:", e.what());
        } catch (...) {
            bexmor::Logging::error("Chunk", i, "failed and is left out");
        }
    }
    // Nothing transcribed at all is a failure, not an empty success.
    if (transcriptions.empty() && firstError) std::rethrow_exception(firstError);
    return transcriptions;
}

}  // namespace vocarion
