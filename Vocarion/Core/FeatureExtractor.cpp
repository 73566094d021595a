#include "Vocarion/Core/FeatureExtractor.h"

#include <algorithm>
#include <vector>

#include "Platform/ML/Model.h"
#include "Vocarion/Core/Constants.h"
#include "Vocarion/Utilities/DarivirError.h"

namespace vocarion {

platform::ml::MultiArray FeatureExtractor::logMelSpectrogram(std::span<const float> window) const {
    const auto model = requireModel("MelSpectrogram");
    platform::ml::MultiArray audio({static_cast<int64_t>(window.size())}, platform::ml::MultiArrayDataType::float32);
    std::copy(window.begin(), window.end(), audio.elements<float>().begin());
    platform::ml::FeatureProvider inputs;
    inputs.set("audio", std::move(audio));
    const auto outputs = model->prediction(inputs);
    const auto* features = outputs.multiArray("melspectrogram_features");
    if (!features) throw DarivirError::audioProcessingFailed("the mel model gave no melspectrogram_features");
    return *features;
}

void FeatureExtractor::warmUp() const {
    const std::vector<float> silence(windowSamples(), 0.0f);
    (void)logMelSpectrogram(silence);
}

size_t FeatureExtractor::windowSamples() const {
    if (!isLoaded()) return Constants::windowSamples;
    const auto model = requireModel("MelSpectrogram");
    const auto& inputs = model->modelDescription().inputDescriptionsByName;
    const auto audio = inputs.find("audio");
    if (audio != inputs.end() && audio->second.multiArrayConstraint) {
        const auto& shape = audio->second.multiArrayConstraint->shape;
        if (!shape.empty() && shape.back() > 0) return static_cast<size_t>(shape.back());
    }
    return Constants::windowSamples;
}

}  // namespace vocarion
