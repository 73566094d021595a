#pragma once

#include <cstddef>
#include <span>

#include "Platform/ML/MultiArray.h"
#include "Vocarion/Core/ModelComponent.h"

namespace vocarion {

// Turns one window of samples into the log-mel features the encoder reads.
class FeatureExtracting {
public:
    virtual ~FeatureExtracting() = default;
    // window: exactly windowSamples() samples.
    virtual platform::ml::MultiArray logMelSpectrogram(std::span<const float> window) const = 0;
    // Samples per window: the mel model's input length, 480000 (30 s) when it states none.
    virtual size_t windowSamples() const = 0;
};

// Runs the "MelSpectrogram" model: input "audio" [N], output "melspectrogram_features".
class FeatureExtractor : public FeatureExtracting, public ModelComponent {
public:
    platform::ml::MultiArray logMelSpectrogram(std::span<const float> window) const override;
    size_t windowSamples() const override;
    void warmUp() const override;
};

}  // namespace vocarion
