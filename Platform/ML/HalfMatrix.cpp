#include "Platform/ML/HalfMatrix.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "Platform/ML/Half.h"
#include "Platform/ML/Kernels.h"
#include "Platform/ML/MlError.h"

namespace platform::ml {

namespace {

// AVX-512: widen 16 weights at a time and keep one accumulator per input row (up to 4).
__attribute__((target("avx512f,f16c,fma"))) void rowsAvx512(const uint16_t* w, int64_t rows, int64_t k,
                                                              const float* x, int64_t m, float* y, int64_t ldy) {
    for (int64_t r = 0; r < rows; ++r) {
        const uint16_t* wr = w + r * k;
        if (r + 2 < rows) _mm_prefetch(reinterpret_cast<const char*>(wr + 2 * k), _MM_HINT_T0);
        for (int64_t t0 = 0; t0 < m; t0 += 4) {
            const int64_t tn = std::min<int64_t>(4, m - t0);
            __m512 acc[4] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
            int64_t i = 0;
            for (; i + 16 <= k; i += 16) {
                const __m512 wf = _mm512_mask_cvtph_ps(_mm512_setzero_ps(), __mmask16(0xffff),
                                                       _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wr + i)));
                for (int64_t t = 0; t < tn; ++t)
                    acc[t] = _mm512_fmadd_ps(wf, _mm512_loadu_ps(x + (t0 + t) * k + i), acc[t]);
            }
            for (int64_t t = 0; t < tn; ++t) {
                alignas(64) float lanes[16];
                _mm512_store_ps(lanes, acc[t]);
                float s = 0.0f;
                for (float lane : lanes) s += lane;
                for (int64_t j = i; j < k; ++j) s += halfBitsToFloat(wr[j]) * x[(t0 + t) * k + j];
                y[(t0 + t) * ldy + r] = s;
            }
        }
    }
}

__attribute__((target("avx512f"))) inline float horizontalSum(__m512 v) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, v);
    float s = 0.0f;
    for (float lane : lanes) s += lane;
    return s;
}

__attribute__((target("avx512f,f16c"))) inline __m512 widen16(const uint16_t* p) {
    return _mm512_mask_cvtph_ps(_mm512_setzero_ps(), __mmask16(0xffff), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

// One input row (a decoder step): one weight row after the other, so each thread reads
// its rows as one sequential stream, which the hardware prefetcher follows at the core's
// full read bandwidth (four rows sharing each load of x made four streams and ran at
// two thirds of it). Four accumulators keep the multiply-adds independent; x stays in L1.
__attribute__((target("avx512f,f16c,fma"))) void vectorAvx512(const uint16_t* w, int64_t rows, int64_t k,
                                                                const float* x, float* y) {
    for (int64_t r = 0; r < rows; ++r) {
        const uint16_t* wr = w + r * k;
        __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), a2 = _mm512_setzero_ps(), a3 = _mm512_setzero_ps();
        int64_t i = 0;
        for (; i + 64 <= k; i += 64) {
            a0 = _mm512_fmadd_ps(widen16(wr + i), _mm512_loadu_ps(x + i), a0);
            a1 = _mm512_fmadd_ps(widen16(wr + i + 16), _mm512_loadu_ps(x + i + 16), a1);
            a2 = _mm512_fmadd_ps(widen16(wr + i + 32), _mm512_loadu_ps(x + i + 32), a2);
            a3 = _mm512_fmadd_ps(widen16(wr + i + 48), _mm512_loadu_ps(x + i + 48), a3);
        }
        for (; i + 16 <= k; i += 16) a0 = _mm512_fmadd_ps(widen16(wr + i), _mm512_loadu_ps(x + i), a0);
        float s = horizontalSum(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
        for (; i < k; ++i) s += halfBitsToFloat(wr[i]) * x[i];
        y[r] = s;
    }
}

__attribute__((target("avx2,f16c,fma"))) inline float horizontalSum8(__m256 v) {
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, v);
    float s = 0.0f;
    for (float lane : lanes) s += lane;
    return s;
}

// AVX2 with F16C (most desktop processors without AVX-512): 8 weights at a time, four
// weight rows sharing each load of x, up to 4 input rows per pass.
__attribute__((target("avx2,f16c,fma"))) void rowsAvx2(const uint16_t* w, int64_t rows, int64_t k, const float* x,
                                                         int64_t m, float* y, int64_t ldy) {
    for (int64_t t = 0; t < m; ++t) {
        const float* xt = x + t * k;
        int64_t r = 0;
        for (; r < rows; r += 4) {
            const int64_t rn = std::min<int64_t>(4, rows - r);
            __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
            int64_t i = 0;
            for (; i + 8 <= k; i += 8) {
                const __m256 xv = _mm256_loadu_ps(xt + i);
                for (int64_t j = 0; j < rn; ++j) {
                    const __m256 wf = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + (r + j) * k + i)));
                    acc[j] = _mm256_fmadd_ps(wf, xv, acc[j]);
                }
            }
            for (int64_t j = 0; j < rn; ++j) {
                float s = horizontalSum8(acc[j]);
                for (int64_t q = i; q < k; ++q) s += halfBitsToFloat(w[(r + j) * k + q]) * xt[q];
                y[t * ldy + r + j] = s;
            }
        }
    }
}

// Any processor: widen a row into a small buffer, then plain dot products.
void rowsPlain(const uint16_t* w, int64_t rows, int64_t k, const float* x, int64_t m, float* y, int64_t ldy) {
    std::vector<float> buffer(static_cast<size_t>(k));
    for (int64_t r = 0; r < rows; ++r) {
        halfToFloat(w + r * k, buffer.data(), size_t(k));
        for (int64_t t = 0; t < m; ++t) y[t * ldy + r] = kernels::dot(buffer.data(), x + t * k, size_t(k));
    }
}

kernels::isa::Level bestLevel() {
    static const kernels::isa::Level level =
        __builtin_cpu_supports("avx512f") && processorHasF16c() && __builtin_cpu_supports("fma")
            ? kernels::isa::Level::avx512
        : __builtin_cpu_supports("avx2") && processorHasF16c() && __builtin_cpu_supports("fma")
            ? kernels::isa::Level::avx2
            : kernels::isa::Level::plain;
    return level;
}

}  // namespace

HalfMatrix::HalfMatrix(std::vector<uint16_t> weights, int64_t n, int64_t k, std::vector<float> bias)
    : weights_(std::move(weights)), bias_(std::move(bias)), n_(n), k_(k) {
    if (int64_t(weights_.size()) != n * k || (!bias_.empty() && int64_t(bias_.size()) != n))
        throw MlError(MlError::Code::invalidModel, "Half matrix weights do not match their shape");
}

void HalfMatrix::multiply(const float* x, int64_t m, float* y) const { multiply(x, m, y, bestLevel()); }

void HalfMatrix::multiply(const float* x, int64_t m, float* y, kernels::isa::Level level) const {
    using kernels::isa::Level;
    if (!kernels::isa::available(level) || (level != Level::plain && !processorHasF16c()))
        level = Level::plain;
    if (m <= 0) return;
    constexpr int64_t block = 16;
    const int64_t blocks = (n_ + block - 1) / block;
    // Blocks of 16 weight rows; for many input rows, chunks of 64 rows so that the
    // weights stay in the cache while they are reused.
    constexpr int64_t chunk = 64;
#pragma omp parallel for schedule(static) if (n_ * k_ * std::min<int64_t>(m, 4) > 32768)
    for (int64_t b = 0; b < blocks; ++b) {
        const int64_t r0 = b * block, rows = std::min(block, n_ - r0);
        for (int64_t t0 = 0; t0 < m; t0 += chunk) {
            const int64_t tn = std::min(chunk, m - t0);
            const uint16_t* w = weights_.data() + r0 * k_;
            if (level == Level::avx512 && tn == 1) vectorAvx512(w, rows, k_, x + t0 * k_, y + t0 * n_ + r0);
            else if (level == Level::avx512) rowsAvx512(w, rows, k_, x + t0 * k_, tn, y + t0 * n_ + r0, n_);
            else if (level == Level::avx2) rowsAvx2(w, rows, k_, x + t0 * k_, tn, y + t0 * n_ + r0, n_);
            else rowsPlain(weights_.data() + r0 * k_, rows, k_, x + t0 * k_, tn, y + t0 * n_ + r0, n_);
        }
    }
    if (!bias_.empty())
        for (int64_t t = 0; t < m; ++t) kernels::addInPlace(y + t * n_, bias_.data(), size_t(n_));
}

void HalfMatrix::row(int64_t index, float* out) const {
    halfToFloat(weights_.data() + index * k_, out, size_t(k_));
}

}  // namespace platform::ml
