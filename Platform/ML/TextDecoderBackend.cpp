#include "Platform/ML/TextDecoderBackend.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include <omp.h>

#include "Platform/ML/Attention.h"
#include "Platform/ML/Kernels.h"
#include "Platform/ML/MlError.h"

namespace platform::ml {

namespace {

// The key-value cache of one window.
class DecoderState final : public ModelStateHandle {
public:
    DecoderState(const void* owner, int64_t layers, int64_t positions, int64_t ctx, int64_t d)
        : owner(owner), selfKv(size_t(layers)), crossKv(size_t(layers)) {
        // Left uninitialised: a position is read only after its token wrote it, so the
        // pages of positions a window never reaches are never touched.
        for (auto& c : selfKv) c.reset(new float[size_t(positions * 2 * d)]);
        for (auto& c : crossKv) c.resize(size_t(ctx * 2 * d));
    }
    const void* owner;
    int64_t length = 0;
    bool hasCross = false;
    std::vector<std::unique_ptr<float[]>> selfKv;  // per layer [positions x 2d]: key then value
    std::vector<std::vector<float>> crossKv;  // per layer [ctx x 2d]
};

// Attention of a few query rows (the tokens of one call) by dot products: each task is
// one token and one head, its scores a row of the team member's `scores` (`stride` floats
// each). Row i sees keys 0..keys(i)-1.
template <class Keys>
void smallAttention(const float* q, int64_t ldq, const float* k, const float* v, int64_t ldkv, int64_t rows,
                    Keys keys, int64_t heads, int64_t headDim, float* out, int64_t ldo, float* scores, int64_t stride) {
    const float scale = 1.0f / std::sqrt(float(headDim));
#pragma omp parallel for collapse(2) schedule(static) if (rows * heads > 1 && keys(rows - 1) * headDim * heads > 8192)
    for (int64_t i = 0; i < rows; ++i)
        for (int64_t h = 0; h < heads; ++h) {
            const int64_t count = keys(i);
            float* row = scores + omp_get_thread_num() * stride;
            kernels::dotRows(q + i * ldq + h * headDim, k + h * headDim, size_t(ldkv), size_t(count), size_t(headDim),
                             scale, row);
            kernels::softmaxInPlace(row, size_t(count));
            kernels::weightedSum(row, v + h * headDim, size_t(ldkv), size_t(count), size_t(headDim),
                                 out + i * ldo + h * headDim);
        }
}

// The number of key chunks of the cross attention: a function of the keys alone, so the
// result does not depend on the team.
int64_t keyChunks(int64_t keys) { return std::clamp<int64_t>(keys / 256, 1, 8); }

// Attention of a few tokens over the window's keys, the keys split into chunks so that
// every thread has work even with fewer heads than threads; each chunk keeps its own
// maximum, sum and weighted values (in `maxima`, `sums`, `partial`, one slot per token,
// head and chunk), combined at the end (the two-pass softmax).
void chunkedAttention(const float* q, int64_t ldq, const float* k, const float* v, int64_t ldkv, int64_t rows,
                      int64_t keys, int64_t heads, int64_t headDim, float* out, int64_t ldo, float* scores,
                      int64_t stride, float* maxima, float* sums, float* partial) {
    const int64_t chunks = keyChunks(keys);
    const int64_t per = (keys + chunks - 1) / chunks;
    const float scale = 1.0f / std::sqrt(float(headDim));
#pragma omp parallel for collapse(3) schedule(static) if (keys * headDim * heads > 8192)
    for (int64_t i = 0; i < rows; ++i)
        for (int64_t h = 0; h < heads; ++h)
            for (int64_t c = 0; c < chunks; ++c) {
                const int64_t j0 = c * per, count = std::min(per, keys - j0);
                const size_t slot = size_t((i * heads + h) * chunks + c);
                if (count <= 0) {
                    maxima[slot] = -INFINITY;
                    sums[slot] = 0.0f;
                    continue;
                }
                float* row = scores + omp_get_thread_num() * stride;
                kernels::dotRows(q + i * ldq + h * headDim, k + j0 * ldkv + h * headDim, size_t(ldkv), size_t(count),
                                 size_t(headDim), scale, row);
                maxima[slot] = kernels::maximum(row, size_t(count));
                sums[slot] = kernels::expShiftedSum(row, size_t(count), maxima[slot]);
                kernels::weightedSum(row, v + j0 * ldkv + h * headDim, size_t(ldkv), size_t(count), size_t(headDim),
                                     partial + slot * size_t(headDim));
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
                kernels::axpy(o, partial + (first + size_t(c)) * size_t(headDim), weight, size_t(headDim));
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

TextDecoderBackend::Workspace::Workspace(const ModelSpec& spec, int64_t rows, int threads) { fit(spec, rows, threads); }

void TextDecoderBackend::Workspace::fit(const ModelSpec& spec, int64_t wanted, int team) {
    const int64_t d = spec.dModel;
    if (wanted > rows) {
        rows = wanted;
        for (auto* buffer : {&x, &normed, &attended, &projected}) buffer->resize(size_t(rows * d));
        qkv.resize(size_t(rows * 3 * d));
        hidden.resize(size_t(rows * spec.ffnDim));
        last.resize(size_t(d));
        const size_t slots = size_t(std::min(rows, kStepRows) * spec.heads * keyChunks(spec.nAudioCtx));
        maxima.resize(slots);
        sums.resize(slots);
        partial.resize(slots * size_t(d / spec.heads));
    }
    if (team > threads) {
        threads = team;
        scores.resize(size_t(threads) * size_t(std::max(spec.maxTargetPositions, spec.nAudioCtx)));
    }
}

TextDecoderBackend::TextDecoderBackend(const ModelSpec& spec, const WeightsFile& w, MatrixPrecision precision)
    : spec_(spec), workspaces_([this] {
          // A team is at most the budget, one thread per processor unless the caller set more.
          return std::make_unique<Workspace>(spec_, kStepRows, std::max(omp_get_max_threads(), omp_get_num_procs()));
      }) {
    const int64_t d = spec.dModel, ffn = spec.ffnDim;
    tokens_ = HalfMatrix(w.halves("decoder.embed_tokens.weight", {spec.vocabSize, d}), spec.vocabSize, d, {});
    positions_ = w.floats("decoder.embed_positions.weight", {spec.maxTargetPositions, d});
    for (int64_t l = 0; l < spec.layers; ++l) {
        const std::string p = "decoder.layers." + std::to_string(l) + ".";
        auto floats = [&](const std::string& name) { return w.floats(p + name, {d}); };
        auto half = [&](const std::string& name, int64_t n, int64_t k) {
            return HalfMatrix(w.halves(p + name + ".weight", {n, k}), n, k, w.floats(p + name + ".bias", {n}));
        };
        blocks_.push_back(Block{
            .selfNormWeight = floats("self_attn_layer_norm.weight"),
            .selfNormBias = floats("self_attn_layer_norm.bias"),
            // q, k and v stacked; the key projection has no bias.
            .selfQkv = HalfMatrix(concat({w.halves(p + "self_attn.q_proj.weight", {d, d}),
                                          w.halves(p + "self_attn.k_proj.weight", {d, d}),
                                          w.halves(p + "self_attn.v_proj.weight", {d, d})}),
                                  3 * d, d,
                                  concat({floats("self_attn.q_proj.bias"), std::vector<float>(size_t(d), 0.0f),
                                          floats("self_attn.v_proj.bias")})),
            .selfOut = half("self_attn.out_proj", d, d),
            .crossNormWeight = floats("encoder_attn_layer_norm.weight"),
            .crossNormBias = floats("encoder_attn_layer_norm.bias"),
            .crossQ = half("encoder_attn.q_proj", d, d),
            .crossKv = MatrixProduct(concat({w.floats(p + "encoder_attn.k_proj.weight", {d, d}),
                                             w.floats(p + "encoder_attn.v_proj.weight", {d, d})}),
                                     2 * d, d,
                                     concat({std::vector<float>(size_t(d), 0.0f), floats("encoder_attn.v_proj.bias")}),
                                     precision, spec.nAudioCtx),
            .crossOut = half("encoder_attn.out_proj", d, d),
            .mlpNormWeight = floats("final_layer_norm.weight"),
            .mlpNormBias = floats("final_layer_norm.bias"),
            .fc1 = half("fc1", ffn, d),
            .fc2 = half("fc2", d, ffn),
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
    auto workspace = workspaces_.take();
    workspace->fit(spec_, n, omp_get_max_threads());
    float* x = workspace->x.data();
    float* normed = workspace->normed.data();
    float* qkv = workspace->qkv.data();
    float* attended = workspace->attended.data();
    float* projected = workspace->projected.data();
    float* hidden = workspace->hidden.data();
    float* scores = workspace->scores.data();
    const int64_t stride = std::max(spec_.maxTargetPositions, ctx);
    for (int64_t i = 0; i < n; ++i) {
        tokens_.row(ids[size_t(i)], x + i * d);
        kernels::addInPlace(x + i * d, positions_.data() + (start + i) * d, size_t(d));
    }
    for (size_t l = 0; l < blocks_.size(); ++l) {
        const Block& b = blocks_[l];
        float* cache = state->selfKv[l].get();
        // Self attention: append this call's keys and values, then each new token looks
        // at every position up to its own.
        kernels::layerNorm(x, normed, size_t(n), size_t(d), b.selfNormWeight.data(), b.selfNormBias.data());
        b.selfQkv.multiply(normed, n, qkv);
        for (int64_t i = 0; i < n; ++i)
            std::memcpy(cache + (start + i) * 2 * d, qkv + i * 3 * d + d, size_t(2 * d) * sizeof(float));
        smallAttention(qkv, 3 * d, cache, cache + d, 2 * d, n, [start](int64_t i) { return start + i + 1; }, heads,
                       headDim, attended, d, scores, stride);
        b.selfOut.multiply(attended, n, projected);
        kernels::addInPlace(x, projected, size_t(n * d));

        // Cross attention over the window's encoder output.
        kernels::layerNorm(x, normed, size_t(n), size_t(d), b.crossNormWeight.data(), b.crossNormBias.data());
        b.crossQ.multiply(normed, n, qkv);  // q only: [n x d]
        const float* kv = state->crossKv[l].data();
        if (n <= kStepRows)
            chunkedAttention(qkv, d, kv, kv + d, 2 * d, n, ctx, heads, headDim, attended, d, scores, stride,
                             workspace->maxima.data(), workspace->sums.data(), workspace->partial.data());
        else
            attention(qkv, d, kv, kv + d, 2 * d, n, ctx, heads, headDim, attended, d, workspace->tiles);
        b.crossOut.multiply(attended, n, projected);
        kernels::addInPlace(x, projected, size_t(n * d));

        kernels::layerNorm(x, normed, size_t(n), size_t(d), b.mlpNormWeight.data(), b.mlpNormBias.data());
        b.fc1.multiply(normed, n, hidden);
        kernels::geluInPlace(hidden, size_t(n * ffn));
        b.fc2.multiply(hidden, n, projected);
        kernels::addInPlace(x, projected, size_t(n * d));
    }
    state->length += n;

    float* last = workspace->last.data();
    kernels::layerNorm(x + (n - 1) * d, last, 1, size_t(d), finalNormWeight_.data(), finalNormBias_.data());
    MultiArray logits({1, spec_.vocabSize}, MultiArrayDataType::float32);
    tokens_.multiply(last, 1, logits.elements<float>().data());
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
