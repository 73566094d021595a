#include "Vocarion/Core/AudioEncoder.h"

#include "Platform/ML/Model.h"
#include "Vocarion/Utilities/DarivirError.h"

namespace vocarion {

platform::ml::MultiArray AudioEncoder::encodeFeatures(const platform::ml::MultiArray& features) const {
    const auto model = requireModel("AudioEncoder");
    platform::ml::FeatureProvider inputs;
    inputs.set("melspectrogram_features", features);
    const auto outputs = model->prediction(inputs);
    const auto* embeds = outputs.multiArray("encoder_output_embeds");
    if (!embeds) throw DarivirError::transcriptionFailed("the encoder gave no encoder_output_embeds");
    return *embeds;
}

void AudioEncoder::warmUp() const {
    const auto model = requireModel("AudioEncoder");
    const auto& inputs = model->modelDescription().inputDescriptionsByName;
    const auto input = inputs.find("melspectrogram_features");
    if (input == inputs.end() || !input->second.multiArrayConstraint) return;
    platform::ml::MultiArray silence(input->second.multiArrayConstraint->shape, platform::ml::MultiArrayDataType::float32);
    for (auto& value : silence.elements<float>()) value = -1.5f;  // the features of silence
    (void)encodeFeatures(silence);
}

}  // namespace vocarion
