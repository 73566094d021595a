#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vocarion {

// Prepares raw samples for the models: cutting one model window out of a recording.
class AudioProcessing {
public:
    virtual ~AudioProcessing() = default;

    // The samples [startIndex, startIndex + frameLength) of the audio, zero-padded at the end
    // when the audio runs out before the window does, so the result always has frameLength
    // samples. A start beyond the end gives a window of silence.
    virtual std::vector<float> padOrTrim(std::span<const float> audio, size_t startIndex,
                                         size_t frameLength) const = 0;
};

class AudioProcessor : public AudioProcessing {
public:
    std::vector<float> padOrTrim(std::span<const float> audio, size_t startIndex,
                                 size_t frameLength) const override;

    // Root mean square of the samples; 0 for none.
    static float rootMeanSquare(std::span<const float> samples);
};

}  // namespace vocarion
