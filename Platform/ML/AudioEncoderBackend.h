#pragma once

#include <vector>

#include "Platform/ML/AttentionBf16.h"
#include "Platform/ML/MatrixProduct.h"
#include "Platform/ML/ModelBackend.h"
#include "Platform/ML/ModelSpec.h"
#include "Platform/ML/WeightsFile.h"
#include "Platform/ML/WorkspacePool.h"

namespace platform::ml {

// The audio encoder: two convolutions (as matrix products over unrolled windows), the
// positional table, pre-norm transformer blocks and a final LayerNorm. Its products run
// on MatrixProduct (bfloat16 where it is faster, float32 elsewhere); the rest stays float32.
class AudioEncoderBackend final : public ModelBackend {
public:
    AudioEncoderBackend(const ModelSpec& spec, const WeightsFile& weights, MatrixPrecision precision);
    FeatureProvider predict(const FeatureProvider& inputs, ModelStateHandle* state) const override;

private:
    struct Block {
        std::vector<float> attnNormWeight, attnNormBias;
        MatrixProduct qkv;  // q, k, v stacked: [3d x d]
        MatrixProduct out;
        std::vector<float> mlpNormWeight, mlpNormBias;
        MatrixProduct fc1, fc2;
    };

    struct Workspace {
        std::vector<float> normed, qkv, hidden;
        std::vector<uint16_t> attentionScratch;
        std::vector<float> scores;  // float32 attention: each team member's score tile
        std::vector<float> widened;  // float32: weights widened panel by panel; bfloat16: the input's copy
    };

    ModelSpec spec_;
    mutable WorkspacePool<Workspace> workspaces_;
    std::vector<MatrixProduct> convs_;  // conv1 [d x 3 n_mels], conv2 [d x 3d]
    std::vector<float> positions_;      // [n_ctx x d]
    std::vector<Block> blocks_;
    std::vector<float> finalNormWeight_, finalNormBias_;
    std::unique_ptr<AttentionBf16> attentionBf16_;  // with bfloat16 products only
};

}  // namespace platform::ml
