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

}  // namespace vocarion
