#include "VariantWriter.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace darivir {

namespace {

double melOf(double f) { return f < 1000.0 ? 3.0 * f / 200.0 : 15.0 + 27.0 * std::log(f / 1000.0) / std::log(6.4); }
double hzOf(double m) { return m < 15.0 ? 200.0 * m / 3.0 : 1000.0 * std::exp((m - 15.0) * std::log(6.4) / 27.0); }

nlohmann::json feature(const std::string& name, const std::string& type, std::vector<int64_t> shape) {
    return {{"name", name}, {"dataType", type}, {"shape", shape}};
}

void writeModel(const std::filesystem::path& folder, const nlohmann::json& modelJson, const TensorMap& tensors) {
    std::filesystem::create_directories(folder);
    writeSafetensors(folder / "weights.safetensors", tensors);
    writeTextFile(folder / "model.json", modelJson.dump(2) + "\n");
}

}  // namespace

std::vector<float> melFilters(int64_t nMels) {
    const int64_t bins = 201;
    std::vector<double> edges(size_t(nMels + 2));
    const double top = melOf(8000.0);
    for (int64_t i = 0; i < nMels + 2; ++i) edges[size_t(i)] = hzOf(top * double(i) / double(nMels + 1));
    std::vector<float> filters(size_t(nMels * bins), 0.0f);
    for (int64_t m = 0; m < nMels; ++m) {
        const double lo = edges[size_t(m)], mid = edges[size_t(m + 1)], hi = edges[size_t(m + 2)];
        const double scale = 2.0 / (hi - lo);
        for (int64_t k = 0; k < bins; ++k) {
            const double f = 40.0 * double(k);
            const double rise = (f - lo) / (mid - lo), fall = (hi - f) / (hi - mid);
            const double w = std::max(0.0, std::min(rise, fall));
            filters[size_t(m * bins + k)] = float(w * scale);
        }
    }
    return filters;
}

void writeModels(const std::filesystem::path& folder, const Hyperparameters& h, TensorMap tensors) {
    TensorMap mel, encoder, decoder;
    mel.emplace("mel_filters", floatTensor(melFilters(h.nMels), {h.nMels, 201}, "F32"));
    std::string weightType;
    for (auto& [name, t] : tensors) {
        if (name == "encoder.layers.0.fc1.weight") weightType = t.dtype;
        if (name.rfind("encoder.", 0) == 0) encoder.emplace(name, std::move(t));
        else if (name.rfind("decoder.", 0) == 0) decoder.emplace(name, std::move(t));
    }
    const int64_t frames = 2 * h.nAudioCtx;
    writeModel(folder / "MelSpectrogram.mlmodelc",
               {{"format", 1}, {"kind", "mel"}, {"weight_type", "F32"}, {"n_mels", h.nMels}, {"n_samples", h.nSamples()},
                {"n_fft", 400}, {"hop_length", 160},
                {"inputs", {feature("audio", "float32", {h.nSamples()})}},
                {"outputs", {feature("melspectrogram_features", "float32", {h.nMels, frames})}}},
               mel);
    writeModel(folder / "AudioEncoder.mlmodelc",
               {{"format", 1}, {"kind", "encoder"}, {"weight_type", weightType}, {"n_mels", h.nMels},
                {"d_model", h.dModel}, {"attention_heads", h.encoderHeads}, {"layers", h.encoderLayers},
                {"ffn_dim", h.encoderFfn}, {"n_audio_ctx", h.nAudioCtx},
                {"inputs", {feature("melspectrogram_features", "float32", {h.nMels, frames})}},
                {"outputs", {feature("encoder_output_embeds", "float32", {h.nAudioCtx, h.dModel})}}},
               encoder);
    writeModel(folder / "TextDecoder.mlmodelc",
               {{"format", 1}, {"kind", "decoder"}, {"weight_type", weightType}, {"d_model", h.dModel},
                {"attention_heads", h.decoderHeads}, {"layers", h.decoderLayers}, {"ffn_dim", h.decoderFfn},
                {"n_audio_ctx", h.nAudioCtx}, {"vocab_size", h.vocabSize}, {"max_target_positions", h.maxTargetPositions},
                {"inputs", {feature("input_ids", "int32", {-1}),
                            feature("encoder_output_embeds", "float32", {h.nAudioCtx, h.dModel})}},
                {"outputs", {feature("logits", "float32", {1, h.vocabSize})}}},
               decoder);
}

}  // namespace darivir
