#include "Platform/ML/AudioEncoderBackend.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Platform/ML/Attention.h"
#include "Platform/ML/Kernels.h"
#include "Platform/ML/MlError.h"

namespace platform::ml {

namespace {

std::vector<float> concat(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

void addRows(float* x, const float* y, int64_t count) {
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < count; i += 4096) kernels::addInPlace(x + i, y + i, size_t(std::min<int64_t>(4096, count - i)));
}

void gelu(float* x, int64_t count) {
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < count; i += 4096) kernels::geluInPlace(x + i, size_t(std::min<int64_t>(4096, count - i)));
}

void layerNormRows(const float* in, float* out, int64_t rows, int64_t d, const std::vector<float>& w,
                   const std::vector<float>& b) {
#pragma omp parallel for schedule(static)
    for (int64_t r = 0; r < rows; ++r) kernels::layerNorm(in + r * d, out + r * d, 1, size_t(d), w.data(), b.data());
}

}  // namespace

AudioEncoderBackend::AudioEncoderBackend(const ModelSpec& spec, const WeightsFile& w, MatrixPrecision precision)
    : spec_(spec) {
    const int64_t d = spec.dModel, ctx = spec.nAudioCtx, ffn = spec.ffnDim, mels = spec.nMels;
    convs_.emplace_back(w.floats("encoder.conv1.weight", {d, mels, 3}), d, mels * 3,
                        w.floats("encoder.conv1.bias", {d}), precision, 2 * ctx);
    convs_.emplace_back(w.floats("encoder.conv2.weight", {d, d, 3}), d, d * 3, w.floats("encoder.conv2.bias", {d}),
                        precision, ctx);
    positions_ = w.floats("encoder.embed_positions.weight", {ctx, d});
    for (int64_t l = 0; l < spec.layers; ++l) {
        const std::string p = "encoder.layers." + std::to_string(l) + ".";
        blocks_.push_back(Block{
            w.floats(p + "self_attn_layer_norm.weight", {d}),
            w.floats(p + "self_attn_layer_norm.bias", {d}),
            MatrixProduct(concat({w.floats(p + "self_attn.q_proj.weight", {d, d}), w.floats(p + "self_attn.k_proj.weight", {d, d}),
                                  w.floats(p + "self_attn.v_proj.weight", {d, d})}),
                          3 * d, d,
                          concat({w.floats(p + "self_attn.q_proj.bias", {d}), std::vector<float>(size_t(d), 0.0f),
                                  w.floats(p + "self_attn.v_proj.bias", {d})}),
                          precision, ctx),
            MatrixProduct(w.floats(p + "self_attn.out_proj.weight", {d, d}), d, d, w.floats(p + "self_attn.out_proj.bias", {d}),
                          precision, ctx),
            w.floats(p + "final_layer_norm.weight", {d}),
            w.floats(p + "final_layer_norm.bias", {d}),
            MatrixProduct(w.floats(p + "fc1.weight", {ffn, d}), ffn, d, w.floats(p + "fc1.bias", {ffn}), precision, ctx),
            MatrixProduct(w.floats(p + "fc2.weight", {d, ffn}), d, ffn, w.floats(p + "fc2.bias", {d}), precision, ctx),
        });
    }
    if (resolvePrecision(precision) == MatrixPrecision::bfloat16)
        attentionBf16_ = std::make_unique<AttentionBf16>(ctx, spec.heads, d / spec.heads);
    finalNormWeight_ = w.floats("encoder.layer_norm.weight", {d});
    finalNormBias_ = w.floats("encoder.layer_norm.bias", {d});
}

FeatureProvider AudioEncoderBackend::predict(const FeatureProvider& inputs, ModelStateHandle*) const {
    const MultiArray* melArray = inputs.multiArray("melspectrogram_features");
    if (melArray == nullptr) throw MlError(MlError::Code::badInput, "The input \"melspectrogram_features\" is missing");
    const float* mel = melArray->elements<float>().data();
    const int64_t d = spec_.dModel, ctx = spec_.nAudioCtx, frames = 2 * ctx, mels = spec_.nMels, ffn = spec_.ffnDim;
    const int64_t heads = spec_.heads, headDim = d / heads;

    auto w = workspaces_.take();
    auto sized = [](std::vector<float>& v, int64_t n) {
        v.resize(size_t(n));
        return v.data();
    };

    // Buffers share memory where their uses do not overlap: the attention's output goes
    // where its normalised input was, the projections where q, k and v were; before the
    // blocks, the convolutions' unrolled windows use `qkv` and conv1's output `hidden`.
    float* normed = sized(w->normed, ctx * d);
    float* qkv = sized(w->qkv, std::max(frames * mels * 3, ctx * 3 * d));
    float* attended = normed;
    float* projected = qkv;
    float* hidden = sized(w->hidden, std::max(frames * d, ctx * ffn));

    // conv1 (kernel 3, padding 1) over [mels x frames]: unroll each output step's window
    // so the convolution is one product; column c*3 + k holds mel[c][t + k - 1].
    float* columns = qkv;
#pragma omp parallel for schedule(static)
    for (int64_t t = 0; t < frames; ++t)
        for (int64_t c = 0; c < mels; ++c)
            for (int64_t k = 0; k < 3; ++k) {
                const int64_t s = t + k - 1;
                columns[(t * mels + c) * 3 + k] = (s >= 0 && s < frames) ? mel[c * frames + s] : 0.0f;
            }
    float* h1 = hidden;
    convs_[0].multiply(columns, frames, h1, w->widened);
    gelu(h1, frames * d);
    // conv2 (stride 2): column c*3 + k holds h1[2t + k - 1][c].
#pragma omp parallel for schedule(static)
    for (int64_t t = 0; t < ctx; ++t)
        for (int64_t k = 0; k < 3; ++k) {
            const int64_t s = 2 * t + k - 1;
            const bool inside = s >= 0 && s < frames;
            for (int64_t c = 0; c < d; ++c) columns[(t * d + c) * 3 + k] = inside ? h1[s * d + c] : 0.0f;
        }
    MultiArray output({ctx, d}, MultiArrayDataType::float32);
    float* x = output.elements<float>().data();
    convs_[1].multiply(columns, ctx, x, w->widened);
    gelu(x, ctx * d);
    addRows(x, positions_.data(), ctx * d);

    for (const Block& b : blocks_) {
        layerNormRows(x, normed, ctx, d, b.attnNormWeight, b.attnNormBias);
        b.qkv.multiply(normed, ctx, qkv, w->widened);
        if (attentionBf16_) attentionBf16_->run(qkv, qkv + d, qkv + 2 * d, 3 * d, attended, d, w->attentionScratch);
        else attention(qkv, 3 * d, qkv + d, qkv + 2 * d, 3 * d, ctx, ctx, heads, headDim, attended, d, w->scores);
        b.out.multiply(attended, ctx, projected, w->widened);
        addRows(x, projected, ctx * d);
        layerNormRows(x, normed, ctx, d, b.mlpNormWeight, b.mlpNormBias);
        b.fc1.multiply(normed, ctx, hidden, w->widened);
        gelu(hidden, ctx * ffn);
        b.fc2.multiply(hidden, ctx, projected, w->widened);
        addRows(x, projected, ctx * d);
    }
    layerNormRows(x, x, ctx, d, finalNormWeight_, finalNormBias_);

    FeatureProvider result;
    result.set("encoder_output_embeds", std::move(output));
    return result;
}

}  // namespace platform::ml
