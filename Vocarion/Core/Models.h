#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vocarion {

// The sizes of the Darivir model family.
enum class ModelVariant { tiny, tinyEn, base, baseEn, small, smallEn, medium, mediumEn, large, largev2, largev3 };

// "tiny", "tiny.en", ..., "large-v2", "large-v3".
std::string_view toString(ModelVariant variant);
// False only for the English-only variants.
bool isMultilingual(ModelVariant variant);
// The variant from the decoder's vocabulary size and the encoder's width: a vocabulary
// of 51864 is English-only, 51865 multilingual (large: large-v2), 51866 large-v3.
// Unknown sizes give none.
std::optional<ModelVariant> detectVariant(int logitsDim, int encoderDim);

// A piece of a longer recording and where it starts, in samples.
struct AudioChunk {
    int seekOffsetIndex = 0;
    std::vector<float> audioSamples;
};

// One word with its time span in seconds.
struct WordTiming {
    std::string word;
    std::vector<int> tokens;
    float start = 0.0f;
    float end = 0.0f;
    float probability = 0.0f;

    float duration() const { return end - start; }
};

// One stretch of decoded text.
struct TranscriptionSegment {
    int id = 0;
    int seek = 0;          // the window's start, in mel frames
    float start = 0.0f;    // seconds
    float end = 0.0f;      // seconds
    std::string text;
    std::vector<int> tokens;
    std::vector<float> tokenLogProbs;  // log-probability of each token, beside tokens
    float temperature = 1.0f;
    float avgLogprob = 0.0f;
    float compressionRatio = 1.0f;
    float noSpeechProb = 0.0f;
    std::optional<std::vector<WordTiming>> words;

    float duration() const { return end - start; }
};

// Where the time of one transcription went, in seconds, and how often each step ran.
struct TranscriptionTimings {
    double pipelineStart = 0;  // seconds since the epoch when the transcription began
    double firstTokenTime = 0;
    double inputAudioSeconds = 0;
    double modelLoading = 0;
    double prewarmLoadTime = 0;
    double encoderLoadTime = 0;
    double decoderLoadTime = 0;
    double tokenizerLoadTime = 0;
    double audioLoading = 0;
    double audioProcessing = 0;
    double logmels = 0;
    double encoding = 0;
    double prefill = 0;
    double decodingInit = 0;
    double decodingLoop = 0;
    double decodingPredictions = 0;
    double decodingFiltering = 0;
    double decodingSampling = 0;
    double decodingFallback = 0;
    double decodingWindowing = 0;
    double decodingWordTimestamps = 0;
    double totalAudioProcessingRuns = 0;
    double totalLogmelRuns = 0;
    double totalEncodingRuns = 0;
    double totalDecodingLoops = 0;  // decoding tries, fallbacks included
    double totalDecodedTokens = 0;  // tokens those tries sampled
    double totalDecodingFallbacks = 0;
    double totalDecodingWindows = 0;
    double fullPipeline = 0;

    // Decoded tokens per second of the decoding loop, 0 before any ran.
    double tokensPerSecond() const;
    // Processing time over audio time, 0 without audio.
    double realTimeFactor() const;
    // Audio time over processing time, 0 before any processing.
    double speedFactor() const;
};

// A snapshot of a running transcription, for progress callbacks.
struct TranscriptionProgress {
    TranscriptionTimings timings;
    std::string text;
    std::vector<int> tokens;
    std::optional<float> temperature;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatio;
    int windowId = 0;
};

// The text of one transcribed recording (or chunk), its segments, language and timings.
struct TranscriptionResult {
    std::string text;
    std::vector<TranscriptionSegment> segments;
    std::string language;
    TranscriptionTimings timings;
    std::optional<int> seekTime;  // in samples, for chunked audio
};

// What one decoding try of a window produced.
struct DecodingResult {
    std::string language;
    std::map<std::string, float> languageProbs;
    std::vector<int> tokens;
    std::vector<float> tokenLogProbs;
    std::string text;
    float avgLogProb = 0.0f;
    float firstTokenLogProb = 0.0f;
    float noSpeechProb = 0.0f;
    float temperature = 0.0f;
    float compressionRatio = 0.0f;
    // Why this try was not good enough, none when it was.
    std::optional<std::string> fallbackReason;
};

// The special token ids of a loaded model. Every id at or above specialTokenBegin is a
// special token (end of text, start of transcript, languages, tasks, timestamps, ...).
struct SpecialTokens {
    int endToken = 0;                // "<|endoftext|>"
    int englishToken = 0;            // "<|en|>"
    int noSpeechToken = 0;           // "<|nospeech|>", in older files "<|nocaptions|>"
    int noTimestampsToken = 0;       // "<|notimestamps|>"
    int specialTokenBegin = 0;       // the end-of-text id
    int startOfLmToken = 0;          // "<|startoflm|>"
    int startOfPreviousToken = 0;    // "<|startofprev|>"
    int startOfTranscriptToken = 0;  // "<|startoftranscript|>"
    int timeTokenBegin = 0;          // "<|0.00|>"
    int transcribeToken = 0;         // "<|transcribe|>"
    int translateToken = 0;          // "<|translate|>"

    bool isSpecial(int token) const { return token >= specialTokenBegin; }
    bool isTimestamp(int token) const { return token >= timeTokenBegin; }

    bool operator==(const SpecialTokens&) const = default;
};

}  // namespace vocarion
