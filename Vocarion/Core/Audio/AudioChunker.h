#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "Vocarion/Core/Audio/VoiceActivityDetector.h"

namespace vocarion {

// One chunk of a long recording: the samples [start, end).
struct AudioChunkRange {
    size_t start = 0;
    size_t end = 0;
    size_t length() const { return end - start; }
    bool operator==(const AudioChunkRange&) const = default;
};

// Splits audio that is longer than one model window into chunks of at most one window.
class AudioChunking {
public:
    virtual ~AudioChunking() = default;
    // Contiguous chunks covering the whole audio, in order, none longer than maxChunkLength.
    virtual std::vector<AudioChunkRange> chunkAll(std::span<const float> audio, size_t maxChunkLength) const = 0;
};

// Cuts each chunk in the middle of the longest silence that the voice-activity detector
// finds before the window's end, or hard at the window's end when it finds none.
class VADAudioChunker : public AudioChunking {
public:
    // Without a detector an energy detector with its defaults is used.
    explicit VADAudioChunker(std::shared_ptr<const VoiceActivityDetector> detector = nullptr);

    std::vector<AudioChunkRange> chunkAll(std::span<const float> audio, size_t maxChunkLength) const override;

private:
    std::shared_ptr<const VoiceActivityDetector> detector_;
};

}  // namespace vocarion
