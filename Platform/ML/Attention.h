#pragma once

#include <cstdint>
#include <vector>

namespace platform::ml {

// Float32 attention of the rows of `q` over all rows of `k` and `v` (each head its column
// slice of headDim values), written to `out` [rows x ldo]: softmax(q k^T / sqrt(headDim)) v
// per head. Runs as tasks of one head and up to 64 query rows on the OpenMP team, each
// task's products single-threaded library calls, so the result does not depend on the
// team's size. Used by the encoder and by the decoder's cross attention of long prompts.
// `scratch` holds each team member's score tile; it grows when the call needs more and is
// meant to be kept between calls, so the parallel region allocates nothing.
void attention(const float* q, int64_t ldq, const float* k, const float* v, int64_t ldkv, int64_t rows, int64_t keys,
               int64_t heads, int64_t headDim, float* out, int64_t ldo, std::vector<float>& scratch);

}  // namespace platform::ml
