#include "Platform/ML/TextDecoderBackend.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Platform/ML/AudioEncoderBackend.h"
#include "Platform/ML/Kernels.h"
#include "Platform/ML/MlError.h"

namespace platform::ml {

namespace {

// The key-value cache of one window.
class DecoderState final : public ModelStateHandle {
public:
    DecoderState(const void* owner, int64_t layers, int64_t positions, int64_t ctx, int64_t d)
        : owner(owner), selfKv(size_t(layers)), crossKv(size_t(layers)) {
        for (auto& c : selfKv) c.assign(size_t(positions * 2 * d), 0.0f);
        for (auto& c : crossKv) c.resize(size_t(ctx * 2 * d));
    }
    const void* owner;
    int64_t length = 0;
    bool hasCross = false;
    std::vector<std::vector<float>> selfKv;   // per layer [positions x 2d]: key then value
    std::vector<std::vector<float>> crossKv;  // per layer [ctx x 2d]
};

// Attention of a few query rows (the tokens of one call) by dot products: each task is
// one token and one head, its scores a small buffer. Row i sees keys 0..keys(i)-1.
template <class Keys>
void smallAttention(const float* q, int64_t ldq, const float* k, const float* v, int64_t ldkv, int64_t rows,
                    Keys keys, int64_t heads, int64_t headDim, float* out, int64_t ldo) {
    const float scale = 1.0f / std::sqrt(float(headDim));
#pragma omp parallel for collapse(2) schedule(static) if (rows * heads > 1 && keys(rows - 1) * headDim * heads > 8192)
    for (int64_t i = 0; i < rows; ++i)
        for (int64_t h = 0; h < heads; ++h) {
            const int64_t count = keys(i);
            std::vector<float> scores(static_cast<size_t>(count));
            kernels::dotRows(q + i * ldq + h * headDim, k + h * headDim, size_t(ldkv), size_t(count), size_t(headDim),
                             scale, scores.data());
            kernels::softmaxInPlace(scores.data(), size_t(count));
            kernels::weightedSum(scores.data(), v + h * headDim, size_t(ldkv), size_t(count), size_t(headDim),
                                 out + i * ldo + h * headDim);
        }
}

// Attention of a few tokens over the window's keys, the keys split into chunks so that
// every thread has work even with fewer heads than threads; each chunk keeps its own
// maximum, sum and weighted values, combined at the end (the two-pass softmax).
void chunkedAttention(const float* q, int64_t ldq, const float* k, const float* v, int64_t ldkv, int64_t rows,
                      int64_t keys, int64_t heads, int64_t headDim, float* out, int64_t ldo) {
    const int64_t chunks = std::clamp<int64_t>(keys / 256, 1, 8);
    const int64_t per = (keys + chunks - 1) / chunks;
    const float scale = 1.0f / std::sqrt(float(headDim));
    const size_t slots = size_t(rows * heads * chunks);
    std::vector<float> maxima(slots, -INFINITY), sums(slots, 0.0f), partial(slots * size_t(headDim), 0.0f);
#pragma omp parallel for collapse(3) schedule(static) if (keys * headDim * heads > 8192)
    for (int64_t i = 0; i < rows; ++i)
        for (int64_t h = 0; h < heads; ++h)
            for (int64_t c = 0; c < chunks; ++c) {
                const int64_t j0 = c * per, count = std::min(per, keys - j0);
                if (count <= 0) continue;
                const size_t slot = size_t((i * heads + h) * chunks + c);
                std::vector<float> scores(static_cast<size_t>(count));
                kernels::dotRows(q + i * ldq + h * headDim, k + j0 * ldkv + h * headDim, size_t(ldkv), size_t(count),
                                 size_t(headDim), scale, scores.data());
                maxima[slot] = kernels::maximum(scores.data(), size_t(count));
                sums[slot] = kernels::expShiftedSum(scores.data(), size_t(count), maxima[slot]);
                kernels::weightedSum(scores.data(), v + j0 * ldkv + h * headDim, size_t(ldkv), size_t(count),
                                     size_t(headDim), partial.data() + slot * size_t(headDim));
            }
    for (int64_t i = 0; i < rows; ++i)
        for (int64_t h = 0; h < heads; ++h) {
            const size_t first = size_t((i * heads + h) * chunks);
            float m = -INFINITY;
            for (int64_t c = 0; c < chunks; ++c) m = std::max(m, maxima[first + size_t(c)]);
            float total = 0.0f;
            float* o = out + i * ldo + h * headDim;
            std::fill(o, o + headDim, 0.0f);
            for (int64_t c = 0; c < chunks; ++c) {
                if (sums[first + size_t(c)] == 0.0f) continue;
                const float weight = std::exp(maxima[first + size_t(c)] - m);
                total += weight * sums[first + size_t(c)];
                kernels::axpy(o, partial.data() + (first + size_t(c)) * size_t(headDim), weight, size_t(headDim));
            }
            kernels::scaleInPlace(o, size_t(headDim), 1.0f / total);
        }
}

std::vector<float> concat(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint16_t> concat(std::initializer_list<std::vector<uint16_t>> parts) {
    std::vector<uint16_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace

TextDecoderBackend::TextDecoderBackend(const ModelSpec& spec, const WeightsFile& w, MatrixPrecision precision)
    : spec_(spec) {
    const int64_t d = spec.dModel, ffn = spec.ffnDim;
    tokens_ = HalfMatrix(w.halves("decoder.embed_tokens.weight", {spec.vocabSize, d}), spec.vocabSize, d, {});
    positions_ = w.floats("decoder.embed_positions.weight", {spec.maxTargetPositions, d});
    for (int64_t l = 0; l < spec.layers; ++l) {
        const std::string p = "decoder.layers." + std::to_string(l) + ".";
        auto half = [&](const std::string& name, int64_t n, int64_t k, bool bias) {
            return HalfMatrix(w.halves(p + name + ".weight", {n, k}), n, k,
                              bias ? w.floats(p + name + ".bias", {n}) : std::vector<float>());
        };
        blocks_.push_back(Block{
            w.floats(p + "self_attn_layer_norm.weight", {d}),
            w.floats(p + "self_attn_layer_norm.bias", {d}),
            HalfMatrix(concat({w.halves(p + "self_attn.q_proj.weight", {d, d}), w.halves(p + "self_attn.k_proj.weight", {d, d}),
                               w.halves(p + "self_attn.v_proj.weight", {d, d})}),
                       3 * d, d,
                       concat({w.floats(p + "self_attn.q_proj.bias", {d}), std::vector<float>(size_t(d), 0.0f),
                               w.floats(p + "self_attn.v_proj.bias", {d})})),
            half("self_attn.out_proj", d, d, true),
            w.floats(p + "encoder_attn_layer_norm.weight", {d}),
            w.floats(p + "encoder_attn_layer_norm.bias", {d}),
            half("encoder_attn.q_proj", d, d, true),
            MatrixProduct(concat({w.floats(p + "encoder_attn.k_proj.weight", {d, d}),
                                  w.floats(p + "encoder_attn.v_proj.weight", {d, d})}),
                          2 * d, d,
                          concat({std::vector<float>(size_t(d), 0.0f), w.floats(p + "encoder_attn.v_proj.bias", {d})}),
                          precision, spec.nAudioCtx),
            half("encoder_attn.out_proj", d, d, true),
            w.floats(p + "final_layer_norm.weight", {d}),
            w.floats(p + "final_layer_norm.bias", {d}),
            half("fc1", ffn, d, true),
            half("fc2", d, ffn, true),
        });
    }
    finalNormWeight_ = w.floats("decoder.layer_norm.weight", {d});
    finalNormBias_ = w.floats("decoder.layer_norm.bias", {d});
}

std::unique_ptr<ModelStateHandle> TextDecoderBackend::makeState() const {
    return std::make_unique<DecoderState>(this, spec_.layers, spec_.maxTargetPositions, spec_.nAudioCtx, spec_.dModel);
}

FeatureProvider TextDecoderBackend::predict(const FeatureProvider& inputs, ModelStateHandle* handle) const {
    auto* state = dynamic_cast<DecoderState*>(handle);
    if (state == nullptr || state->owner != this)
        throw MlError(MlError::Code::badInput, "The state was not made by this model");
    const int64_t d = spec_.dModel, ctx = spec_.nAudioCtx, ffn = spec_.ffnDim, heads = spec_.heads, headDim = d / heads;
    const MultiArray* idsArray = inputs.multiArray("input_ids");
    if (idsArray == nullptr) throw MlError(MlError::Code::badInput, "The input \"input_ids\" is missing");
    const auto ids = idsArray->elements<int32_t>();
    const int64_t n = int64_t(ids.size());
    if (state->length + n > spec_.maxTargetPositions)
        throw MlError(MlError::Code::badInput, "The decoder's positional table is full (" +
                                                   std::to_string(spec_.maxTargetPositions) + " tokens)");
    for (int32_t id : ids)
        if (id < 0 || id >= spec_.vocabSize)
            throw MlError(MlError::Code::badInput, "Token id " + std::to_string(id) + " is outside the vocabulary");
    if (!state->hasCross) {
        const MultiArray* encoded = inputs.multiArray("encoder_output_embeds");
        if (encoded == nullptr)
            throw MlError(MlError::Code::badInput,
                          "The first prediction of a state needs the input \"encoder_output_embeds\"");
        const float* e = encoded->elements<float>().data();
        for (size_t l = 0; l < blocks_.size(); ++l) blocks_[l].crossKv.multiply(e, ctx, state->crossKv[l].data());
        state->hasCross = true;
    }

    const int64_t start = state->length;
    std::vector<float> x(size_t(n * d)), normed(size_t(n * d)), qkv(size_t(n * 3 * d)), attended(size_t(n * d)),
        projected(size_t(n * d)), hidden(size_t(n * ffn));
    for (int64_t i = 0; i < n; ++i) {
        tokens_.row(ids[size_t(i)], x.data() + i * d);
        kernels::addInPlace(x.data() + i * d, positions_.data() + (start + i) * d, size_t(d));
    }
    for (size_t l = 0; l < blocks_.size(); ++l) {
        const Block& b = blocks_[l];
        float* cache = state->selfKv[l].data();
        // Self attention: append this call's keys and values, then each new token looks
        // at every position up to its own.
        kernels::layerNorm(x.data(), normed.data(), size_t(n), size_t(d), b.selfNormWeight.data(), b.selfNormBias.data());
        b.selfQkv.multiply(normed.data(), n, qkv.data());
        for (int64_t i = 0; i < n; ++i)
            std::memcpy(cache + (start + i) * 2 * d, qkv.data() + i * 3 * d + d, size_t(2 * d) * sizeof(float));
        smallAttention(qkv.data(), 3 * d, cache, cache + d, 2 * d, n, [start](int64_t i) { return start + i + 1; },
                       heads, headDim, attended.data(), d);
        b.selfOut.multiply(attended.data(), n, projected.data());
        kernels::addInPlace(x.data(), projected.data(), size_t(n * d));

        // Cross attention over the window's encoder output.
        kernels::layerNorm(x.data(), normed.data(), size_t(n), size_t(d), b.crossNormWeight.data(), b.crossNormBias.data());
        b.crossQ.multiply(normed.data(), n, qkv.data());  // q only: [n x d]
        const float* kv = state->crossKv[l].data();
        if (n <= 8)
            chunkedAttention(qkv.data(), d, kv, kv + d, 2 * d, n, ctx, heads, headDim, attended.data(), d);
        else
            attention(qkv.data(), d, kv, kv + d, 2 * d, n, ctx, heads, headDim, attended.data(), d);
        b.crossOut.multiply(attended.data(), n, projected.data());
        kernels::addInPlace(x.data(), projected.data(), size_t(n * d));

        kernels::layerNorm(x.data(), normed.data(), size_t(n), size_t(d), b.mlpNormWeight.data(), b.mlpNormBias.data());
        b.fc1.multiply(normed.data(), n, hidden.data());
        kernels::geluInPlace(hidden.data(), size_t(n * ffn));
        b.fc2.multiply(hidden.data(), n, projected.data());
        kernels::addInPlace(x.data(), projected.data(), size_t(n * d));
    }
    state->length += n;

    std::vector<float> last(static_cast<size_t>(d));
    kernels::layerNorm(x.data() + (n - 1) * d, last.data(), 1, size_t(d), finalNormWeight_.data(), finalNormBias_.data());
    MultiArray logits({1, spec_.vocabSize}, MultiArrayDataType::float32);
    tokens_.multiply(last.data(), 1, logits.elements<float>().data());
    FeatureProvider result;
    result.set("logits", std::move(logits));
    return result;
}

void TextDecoderBackend::warmUp() const {
    auto state = makeState();
    FeatureProvider in;
    in.set("input_ids", MultiArray({1}, MultiArrayDataType::int32));
    in.set("encoder_output_embeds", MultiArray({spec_.nAudioCtx, spec_.dModel}, MultiArrayDataType::float32));
    (void)predict(in, state.get());
}

}  // namespace platform::ml
