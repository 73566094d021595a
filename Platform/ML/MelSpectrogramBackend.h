#pragma once

#include <vector>

#include "Platform/ML/ModelBackend.h"
#include "Platform/ML/ModelSpec.h"
#include "Platform/ML/WeightsFile.h"

namespace platform::ml {

// Log-mel features of one window: a centred STFT (periodic Hann window, reflection
// padding), the power spectrum as one matrix product with a windowed DFT basis, the
// model's mel filterbank, then log10, clamping at (maximum - 8) and (x + 4) / 4.
class MelSpectrogramBackend final : public ModelBackend {
public:
    MelSpectrogramBackend(const ModelSpec& spec, const WeightsFile& weights);
    FeatureProvider predict(const FeatureProvider& inputs, ModelStateHandle* state) const override;
    void warmUp() const override;

private:
    ModelSpec spec_;
    int64_t bins_ = 0;
    std::vector<float> filters_;  // [n_mels x bins]
    std::vector<float> basis_;    // [n_fft x 2 bins]: window times cos, window times sin
};

}  // namespace platform::ml
