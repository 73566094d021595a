#pragma once

#include <cstdint>
#include <string>

#include "Platform/ML/MatrixProduct.h"

namespace benchsupport {

// The shapes of the model family that decide the work of a 30 s window.
struct ModelShape {
    int64_t d, heads, encoderLayers, decoderLayers, mels, vocab;
    int64_t audioPositions = 1500;
};

ModelShape shapeForWidth(int64_t width);  // 384, 768 or 1280 (the large shape)

double encoderFlops(const ModelShape& shape);
// Bytes a decoder step must read: every decoder matrix in fp16, the token embedding (fp16,
// for the logits) and the cross-attention keys and values (fp32).
double decoderStepBytes(const ModelShape& shape);

// The best GFLOP/s the runtime's own products reach at the encoder's products (1500 x d
// times d x 4d, 1500 x 4d times 4d x d, and q, k and v: 1500 x d times d x 3d) in the
// given precision, on the team
// the encoder gets now: float32 both as the encoder runs it (fp16 weights widened panel by
// panel) and on float32 weights; bfloat16 on packed weights. `what` names the best.
struct MatrixPeak {
    double gflops = 0;
    std::string what;
};
MatrixPeak matrixPeak(platform::ml::MatrixPrecision precision, int64_t d);

// GB/s of a parallel read of 1 GiB on the team a decoder step gets now.
double readBandwidth();

// "AMD EPYC (...): AVX2, AVX-512, AVX512-BF16, no AMX".
std::string processorFeatures();
// The source tree's commit ("1ff215d", "-dirty" when it has changes), "unknown" outside git.
std::string sourceCommit();
// The one-minute load average.
std::string loadAverage();

}  // namespace benchsupport
