#pragma once

#include <vector>

#include "Platform/ML/HalfMatrix.h"
#include "Platform/ML/MatrixProduct.h"
#include "Platform/ML/ModelBackend.h"
#include "Platform/ML/ModelSpec.h"
#include "Platform/ML/WeightsFile.h"
#include "Platform/ML/WorkspacePool.h"

namespace platform::ml {

// The text decoder. Its per-token products are matrix-vector products on fp16 weights
// (bandwidth-bound); the cross-attention keys and values are one large product per
// window, made on the first prediction of a fresh state and kept in it.
class TextDecoderBackend final : public ModelBackend {
public:
    TextDecoderBackend(const ModelSpec& spec, const WeightsFile& weights, MatrixPrecision precision);
    FeatureProvider predict(const FeatureProvider& inputs, ModelStateHandle* state) const override;
    std::unique_ptr<ModelStateHandle> makeState() const override;
    void warmUp() const override;

private:
    struct Block {
        std::vector<float> selfNormWeight, selfNormBias;
        HalfMatrix selfQkv;  // [3d x d]
        HalfMatrix selfOut;
        std::vector<float> crossNormWeight, crossNormBias;
        HalfMatrix crossQ;
        MatrixProduct crossKv;  // [2d x d], applied to the encoder output once per window
        HalfMatrix crossOut;
        std::vector<float> mlpNormWeight, mlpNormBias;
        HalfMatrix fc1, fc2;
    };

    // A prediction's buffers, sized at load for a step of up to `kStepRows` tokens (a
    // longer prompt widens them once): a decoder step allocates nothing.
    struct Workspace {
        Workspace(const ModelSpec& spec, int64_t rows, int threads);
        // Makes room for `rows` tokens and `threads` members of a team.
        void fit(const ModelSpec& spec, int64_t rows, int threads);

        int64_t rows = 0;
        int threads = 0;
        std::vector<float> x, normed, qkv, attended, projected, hidden, last;
        std::vector<float> scores;                 // per team member: one row of attention scores
        std::vector<float> maxima, sums, partial;  // the cross attention's key chunks
        std::vector<float> tiles;                  // a long prompt's cross attention: score tiles
    };
    static constexpr int64_t kStepRows = 8;

    ModelSpec spec_;
    mutable WorkspacePool<Workspace> workspaces_;
    HalfMatrix tokens_;           // [vocab x d]: embedding and output projection
    std::vector<float> positions_;  // [max_target_positions x d]
    std::vector<Block> blocks_;
    std::vector<float> finalNormWeight_, finalNormBias_;
};

}  // namespace platform::ml
