#include "Platform/ML/Attention.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <omp.h>

#include "Platform/ML/Kernels.h"
#include "Platform/ML/MatrixProduct.h"

namespace platform::ml {

void attention(const float* q, int64_t ldq, const float* k, const float* v, int64_t ldkv, int64_t rows, int64_t keys,
               int64_t heads, int64_t headDim, float* out, int64_t ldo, std::vector<float>& scratch) {
    // Tasks of one head and up to 64 query rows: the score tile stays in the cache.
    constexpr int64_t tile = 64;
    const int64_t tiles = (rows + tile - 1) / tile;
    const float scale = 1.0f / std::sqrt(float(headDim));
    const size_t perThread = size_t(std::min(tile, rows) * keys);
    const int threads = omp_get_max_threads();
    if (scratch.size() < perThread * size_t(threads)) scratch.resize(perThread * size_t(threads));
#pragma omp parallel num_threads(threads)
    {
        float* scores = scratch.data() + perThread * size_t(omp_get_thread_num());
#pragma omp for schedule(dynamic)
        for (int64_t task = 0; task < heads * tiles; ++task) {
            const int64_t h = task / tiles, r0 = (task % tiles) * tile, n = std::min(tile, rows - r0);
            gemmNT(n, keys, headDim, scale, q + r0 * ldq + h * headDim, ldq, k + h * headDim, ldkv, 0.0f, scores, keys);
            for (int64_t r = 0; r < n; ++r) kernels::softmaxInPlace(scores + r * keys, size_t(keys));
            gemmNN(n, headDim, keys, scores, keys, v + h * headDim, ldkv, 0.0f, out + r0 * ldo + h * headDim, ldo);
        }
    }
}

}  // namespace platform::ml
