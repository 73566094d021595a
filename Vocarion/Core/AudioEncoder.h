#pragma once

#include "Platform/ML/MultiArray.h"
#include "Vocarion/Core/ModelComponent.h"

namespace vocarion {

// Turns log-mel features into the encoder states the decoder attends to.
class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;
    virtual platform::ml::MultiArray encodeFeatures(const platform::ml::MultiArray& features) const = 0;
};

// Runs the "AudioEncoder" model: input "melspectrogram_features", output "encoder_output_embeds".
class AudioEncoder : public AudioEncoding, public ModelComponent {
public:
    platform::ml::MultiArray encodeFeatures(const platform::ml::MultiArray& features) const override;
    // Encodes features of silence: the encoder is most of the work, and its first run
    // would otherwise pay for packing its weights.
    void warmUp() const override;
};

}  // namespace vocarion
