#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace vocarion {

// A run of frames [startFrame, endFrame).
struct FrameRun {
    size_t startFrame = 0;
    size_t endFrame = 0;
    size_t length() const { return endFrame - startFrame; }
};

// Decides, frame by frame, where a recording holds voice. Subclasses give the per-frame
// decision; the helpers turn it into sample positions.
class VoiceActivityDetector {
public:
    explicit VoiceActivityDetector(size_t sampleRate = 16000, size_t frameLengthSamples = 1600);
    virtual ~VoiceActivityDetector() = default;

    // One flag per frame of frameLengthSamples (the last frame may be shorter): true = voice.
    virtual std::vector<bool> voiceActivity(std::span<const float> waveform) const = 0;

    size_t sampleRate() const { return sampleRate_; }
    size_t frameLengthSamples() const { return frameLengthSamples_; }

    // The first sample of a frame.
    size_t frameToSampleIndex(size_t frame) const { return frame * frameLengthSamples_; }

    // The longest run of silent frames; on a tie the later one (it leaves the longer chunk
    // before the cut). None when no frame is silent.
    static std::optional<FrameRun> longestSilence(const std::vector<bool>& activity);

    // Sample ranges [start, end) that hold voice, in order.
    std::vector<std::pair<size_t, size_t>> activeRanges(std::span<const float> waveform) const;

private:
    size_t sampleRate_;
    size_t frameLengthSamples_;
};

}  // namespace vocarion
