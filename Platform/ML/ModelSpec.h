#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "Platform/ML/Features.h"

namespace platform::ml {

class WeightsFile;

// The hyper-parameters of a model folder's model.json, checked for sense.
struct ModelSpec {
    std::string kind;  // "mel", "encoder", "decoder"
    // mel
    int64_t nMels = 0;
    int64_t nSamples = 0;
    int64_t nFft = 400;
    int64_t hopLength = 160;
    // encoder and decoder
    int64_t dModel = 0;
    int64_t heads = 0;
    int64_t layers = 0;
    int64_t ffnDim = 0;
    int64_t nAudioCtx = 0;
    // decoder
    int64_t vocabSize = 0;
    int64_t maxTargetPositions = 0;

    // The family's limits, with room above its largest member (30 s windows of 3000
    // frames, 1500 audio positions, 448 text positions, width 1280, 32 layers, 51866
    // tokens, 128 mel bins). Sizes beyond them are refused before anything is allocated.
    static constexpr int64_t maxSamples = 480000;
    static constexpr int64_t maxFrames = 3000;
    static constexpr int64_t maxFft = 2048;
    static constexpr int64_t maxMels = 512;
    static constexpr int64_t maxAudioCtx = 1500;
    static constexpr int64_t maxTargetPositionsLimit = 448;
    static constexpr int64_t maxWidth = 4096;
    static constexpr int64_t maxFfn = 16384;
    static constexpr int64_t maxLayers = 64;
    static constexpr int64_t maxVocabulary = 262144;

    int64_t nFrames() const { return nSamples / hopLength; }

    // MlError(modelNotFound) when the file is missing, invalidModel when it is malformed
    // or its features disagree with its hyper-parameters.
    static ModelSpec read(const std::filesystem::path& modelJson);
    ModelDescription description() const;
    // MlError(invalidModel) naming the field when a size disagrees with the tensor that
    // must carry it (or that tensor is missing).
    void checkWeights(const WeightsFile& weights, const std::filesystem::path& modelJson) const;

private:
    static ModelSpec fromJson(const nlohmann::json& j, const std::filesystem::path& modelJson);
};

}  // namespace platform::ml
