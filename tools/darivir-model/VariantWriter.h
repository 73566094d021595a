#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "SafetensorsWriter.h"

namespace darivir {

struct Hyperparameters {
    int64_t nMels = 80;
    int64_t dModel = 64;
    int64_t encoderHeads = 2, decoderHeads = 2;
    int64_t encoderLayers = 2, decoderLayers = 2;
    int64_t encoderFfn = 256, decoderFfn = 256;
    int64_t nAudioCtx = 1500;
    int64_t maxTargetPositions = 448;
    int64_t vocabSize = 0;
    int64_t nSamples() const { return nAudioCtx * 2 * 160; }
};

// The mel filterbank [n_mels x 201]: triangles on the Slaney mel scale from 0 to 8000 Hz,
// each scaled to unit area (2 / width in Hz).
std::vector<float> melFilters(int64_t nMels);

// Writes MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc and TextDecoder.mlmodelc into
// `folder` from tensors named as in the public checkpoint without "model.". Encoder
// tensors go to the encoder, decoder tensors to the decoder; others are left out.
void writeModels(const std::filesystem::path& folder, const Hyperparameters& h, TensorMap tensors);

}  // namespace darivir
