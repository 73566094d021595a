#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "Platform/ML/Features.h"

namespace platform::ml {

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

    int64_t nFrames() const { return nSamples / hopLength; }

    // MlError(modelNotFound) when the file is missing, invalidModel when it is malformed
    // or its features disagree with its hyper-parameters.
    static ModelSpec read(const std::filesystem::path& modelJson);
    ModelDescription description() const;

private:
    static ModelSpec fromJson(const nlohmann::json& j, const std::filesystem::path& modelJson);
};

}  // namespace platform::ml
