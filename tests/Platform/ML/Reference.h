#pragma once

// Naive reference computations of the three models, written straight from the model
// family's description with double accumulation, independent of the runtime's code.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace reference {

struct Tensor {
    std::vector<int64_t> shape;
    std::vector<float> values;
};

// Reads a safetensors file (F32, F16, BF16) into float tensors.
std::map<std::string, Tensor> readSafetensors(const std::filesystem::path& path);

std::vector<float> melFilters(int64_t nMels);  // [n_mels x 201]

// [n_mels x frames] for `samples` samples (frames = samples / 160).
std::vector<float> logMel(const std::vector<float>& audio, const std::vector<float>& filters, int64_t nMels);

struct Sizes {
    int64_t d, heads, layers, ffn, ctx, nMels, vocab, positions;
};

// [ctx x d]
std::vector<float> encoder(const std::map<std::string, Tensor>& w, const Sizes& s, const std::vector<float>& mel);
// The logits [vocab] after the last of `tokens`, computing the whole prefix without a cache.
std::vector<float> decoder(const std::map<std::string, Tensor>& w, const Sizes& s, const std::vector<float>& encoded,
                           const std::vector<int32_t>& tokens);

// Largest |a - b| divided by the largest |b|.
double relativeMaxError(const float* a, const std::vector<float>& b);

}  // namespace reference
