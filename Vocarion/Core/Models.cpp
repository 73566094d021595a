#include "Vocarion/Core/Models.h"

namespace vocarion {

std::string_view toString(ModelVariant variant) {
    switch (variant) {
    case ModelVariant::tiny: return "tiny";
    case ModelVariant::tinyEn: return "tiny.en";
    case ModelVariant::base: return "base";
    case ModelVariant::baseEn: return "base.en";
    case ModelVariant::small: return "small";
    case ModelVariant::smallEn: return "small.en";
    case ModelVariant::medium: return "medium";
    case ModelVariant::mediumEn: return "medium.en";
    case ModelVariant::large: return "large";
    case ModelVariant::largev2: return "large-v2";
    case ModelVariant::largev3: return "large-v3";
    }
    return "tiny";
}

bool isMultilingual(ModelVariant variant) {
    switch (variant) {
    case ModelVariant::tinyEn:
    case ModelVariant::baseEn:
    case ModelVariant::smallEn:
    case ModelVariant::mediumEn:
        return false;
    default:
        return true;
    }
}

std::optional<ModelVariant> detectVariant(int logitsDim, int encoderDim) {
    const bool english = logitsDim == 51864;
    if (!english && logitsDim != 51865 && logitsDim != 51866) {
        return std::nullopt;
    }
    switch (encoderDim) {
    case 384: return english ? ModelVariant::tinyEn : ModelVariant::tiny;
    case 512: return english ? ModelVariant::baseEn : ModelVariant::base;
    case 768: return english ? ModelVariant::smallEn : ModelVariant::small;
    case 1024: return english ? ModelVariant::mediumEn : ModelVariant::medium;
    case 1280:
        if (english) return std::nullopt;  // there is no English-only large model
        return logitsDim == 51866 ? ModelVariant::largev3 : ModelVariant::largev2;
    default:
        return std::nullopt;
    }
}

double TranscriptionTimings::tokensPerSecond() const {
    return decodingLoop > 0 ? totalDecodedTokens / decodingLoop : 0.0;
}

double TranscriptionTimings::realTimeFactor() const {
    return inputAudioSeconds > 0 ? fullPipeline / inputAudioSeconds : 0.0;
}

double TranscriptionTimings::speedFactor() const {
    return fullPipeline > 0 ? inputAudioSeconds / fullPipeline : 0.0;
}

}  // namespace vocarion
