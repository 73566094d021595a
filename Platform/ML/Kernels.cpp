#include "Platform/ML/Kernels.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <immintrin.h>

namespace platform::ml::kernels {

namespace {

// Cephes' single-precision exponential: range reduction by ln 2 in two parts, a
// degree-6 polynomial, the power of two built in the exponent bits. Branch-free, so the
// loops below vectorise.
inline float expLane(float input) {
    // NaN fails every comparison, so the clamp alone would let it reach the integer
    // conversion below, which is undefined for NaN: it computes with 0 and is given
    // back unchanged. Infinities are clamped like any large value.
    const bool isNan = input != input;
    float x = isNan ? 0.0f : input;
    x = x < -87.0f ? -87.0f : (x > 88.0f ? 88.0f : x);
    const float n = std::floor(x * 1.44269504088896341f + 0.5f);
    const float r = x - n * 0.693359375f + n * 2.12194440e-4f;
    const float r2 = r * r;
    const float p = (((((1.9875691500e-4f * r + 1.3981999507e-3f) * r + 8.3334519073e-3f) * r + 4.1665795894e-2f) * r +
                      1.6666665459e-1f) * r + 5.0000001201e-1f) * r2 + r + 1.0f;
    const float scale = std::bit_cast<float>((int32_t(n) + 127) << 23);
    return isNan ? input : p * scale;
}

// Abramowitz and Stegun 7.1.26 (absolute error below 1.5e-7).
inline float erfLane(float x) {
    const float a = std::fabs(x);
    const float t = 1.0f / (1.0f + 0.3275911f * a);
    const float poly = ((((1.061405429f * t - 1.453152027f) * t + 1.421413741f) * t - 0.284496736f) * t + 0.254829592f) * t;
    const float y = 1.0f - poly * expLane(-a * a);
    return std::copysign(y, x);
}

// The same two functions on 16 and 8 lanes. Written with intrinsics: the compiler does
// not vectorise the scalar forms' loops.
__attribute__((target("avx512f"))) inline __m512 exp16(__m512 input) {
    // min and max turn NaN into a bound; the lanes that held NaN get it back at the end.
    const __mmask16 isNan = _mm512_cmp_ps_mask(input, input, _CMP_UNORD_Q);
    const __m512 x = _mm512_max_ps(_mm512_min_ps(input, _mm512_set1_ps(88.0f)), _mm512_set1_ps(-87.0f));
    const __m512 n = _mm512_roundscale_ps(_mm512_fmadd_ps(x, _mm512_set1_ps(1.44269504088896341f), _mm512_set1_ps(0.5f)),
                                          _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    __m512 r = _mm512_fnmadd_ps(n, _mm512_set1_ps(0.693359375f), x);
    r = _mm512_fmadd_ps(n, _mm512_set1_ps(2.12194440e-4f), r);
    const __m512 r2 = _mm512_mul_ps(r, r);
    __m512 p = _mm512_set1_ps(1.9875691500e-4f);
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.3981999507e-3f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(8.3334519073e-3f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(4.1665795894e-2f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.6666665459e-1f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(5.0000001201e-1f));
    p = _mm512_fmadd_ps(p, r2, _mm512_add_ps(r, _mm512_set1_ps(1.0f)));
    const __m512i e = _mm512_slli_epi32(_mm512_add_epi32(_mm512_cvtps_epi32(n), _mm512_set1_epi32(127)), 23);
    return _mm512_mask_blend_ps(isNan, _mm512_mul_ps(p, _mm512_castsi512_ps(e)), input);
}

__attribute__((target("avx512f"))) inline __m512 gelu16(__m512 x) {
    const __m512 z = _mm512_mul_ps(x, _mm512_set1_ps(0.70710678118654752f));
    const __m512 signBit = _mm512_castsi512_ps(_mm512_set1_epi32(int32_t(0x80000000u)));
    const __m512 a = _mm512_castsi512_ps(_mm512_andnot_si512(_mm512_castps_si512(signBit), _mm512_castps_si512(z)));
    const __m512 t = _mm512_div_ps(_mm512_set1_ps(1.0f), _mm512_fmadd_ps(a, _mm512_set1_ps(0.3275911f), _mm512_set1_ps(1.0f)));
    __m512 poly = _mm512_set1_ps(1.061405429f);
    poly = _mm512_fmadd_ps(poly, t, _mm512_set1_ps(-1.453152027f));
    poly = _mm512_fmadd_ps(poly, t, _mm512_set1_ps(1.421413741f));
    poly = _mm512_fmadd_ps(poly, t, _mm512_set1_ps(-0.284496736f));
    poly = _mm512_fmadd_ps(poly, t, _mm512_set1_ps(0.254829592f));
    poly = _mm512_mul_ps(poly, t);
    const __m512 erfAbs = _mm512_fnmadd_ps(poly, exp16(_mm512_sub_ps(_mm512_setzero_ps(), _mm512_mul_ps(a, a))),
                                           _mm512_set1_ps(1.0f));
    const __m512 erf = _mm512_castsi512_ps(_mm512_or_si512(
        _mm512_castps_si512(erfAbs), _mm512_and_si512(_mm512_castps_si512(z), _mm512_castps_si512(signBit))));
    return _mm512_mul_ps(_mm512_mul_ps(_mm512_set1_ps(0.5f), x), _mm512_add_ps(_mm512_set1_ps(1.0f), erf));
}

__attribute__((target("avx2,fma"))) inline __m256 exp8(__m256 input) {
    const __m256 isNan = _mm256_cmp_ps(input, input, _CMP_UNORD_Q);
    const __m256 x = _mm256_max_ps(_mm256_min_ps(input, _mm256_set1_ps(88.0f)), _mm256_set1_ps(-87.0f));
    const __m256 n = _mm256_floor_ps(_mm256_fmadd_ps(x, _mm256_set1_ps(1.44269504088896341f), _mm256_set1_ps(0.5f)));
    __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
    r = _mm256_fmadd_ps(n, _mm256_set1_ps(2.12194440e-4f), r);
    const __m256 r2 = _mm256_mul_ps(r, r);
    __m256 p = _mm256_set1_ps(1.9875691500e-4f);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
    p = _mm256_fmadd_ps(p, r2, _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
    const __m256i e = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
    return _mm256_blendv_ps(_mm256_mul_ps(p, _mm256_castsi256_ps(e)), input, isNan);
}

__attribute__((target("avx2,fma"))) inline __m256 gelu8(__m256 x) {
    const __m256 z = _mm256_mul_ps(x, _mm256_set1_ps(0.70710678118654752f));
    const __m256 signBit = _mm256_set1_ps(-0.0f);
    const __m256 a = _mm256_andnot_ps(signBit, z);
    const __m256 t = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_fmadd_ps(a, _mm256_set1_ps(0.3275911f), _mm256_set1_ps(1.0f)));
    __m256 poly = _mm256_set1_ps(1.061405429f);
    poly = _mm256_fmadd_ps(poly, t, _mm256_set1_ps(-1.453152027f));
    poly = _mm256_fmadd_ps(poly, t, _mm256_set1_ps(1.421413741f));
    poly = _mm256_fmadd_ps(poly, t, _mm256_set1_ps(-0.284496736f));
    poly = _mm256_fmadd_ps(poly, t, _mm256_set1_ps(0.254829592f));
    poly = _mm256_mul_ps(poly, t);
    const __m256 erfAbs = _mm256_fnmadd_ps(poly, exp8(_mm256_sub_ps(_mm256_setzero_ps(), _mm256_mul_ps(a, a))),
                                           _mm256_set1_ps(1.0f));
    const __m256 erf = _mm256_or_ps(erfAbs, _mm256_and_ps(z, signBit));
    return _mm256_mul_ps(_mm256_mul_ps(_mm256_set1_ps(0.5f), x), _mm256_add_ps(_mm256_set1_ps(1.0f), erf));
}

using isa::Level;

Level chosenLevel() {
    static const Level chosen = isa::available(Level::avx512) ? Level::avx512
                                : isa::available(Level::avx2) ? Level::avx2
                                                              : Level::plain;
    return chosen;
}

__attribute__((target("avx512f"))) void expAvx512(float* x, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(x + i, exp16(_mm512_loadu_ps(x + i)));
    for (; i < n; ++i) x[i] = expLane(x[i]);
}

__attribute__((target("avx2,fma"))) void expAvx2(float* x, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, exp8(_mm256_loadu_ps(x + i)));
    for (; i < n; ++i) x[i] = expLane(x[i]);
}

__attribute__((target("avx512f"))) void geluAvx512(float* x, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(x + i, gelu16(_mm512_loadu_ps(x + i)));
    for (; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + erfLane(x[i] * 0.70710678118654752f));
}

__attribute__((target("avx2,fma"))) void geluAvx2(float* x, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, gelu8(_mm256_loadu_ps(x + i)));
    for (; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + erfLane(x[i] * 0.70710678118654752f));
}

// e^(x - shift) in place, returning the sum.
__attribute__((target("avx512f"))) float shiftedExpAvx512(float* x, size_t n, float shift) {
    size_t i = 0;
    __m512 sum = _mm512_setzero_ps();
    const __m512 s = _mm512_set1_ps(shift);
    for (; i + 16 <= n; i += 16) {
        const __m512 e = exp16(_mm512_sub_ps(_mm512_loadu_ps(x + i), s));
        _mm512_storeu_ps(x + i, e);
        sum = _mm512_add_ps(sum, e);
    }
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, sum);
    float total = 0.0f;
    for (float lane : lanes) total += lane;
    for (; i < n; ++i) total += (x[i] = expLane(x[i] - shift));
    return total;
}

__attribute__((target("avx2,fma"))) float shiftedExpAvx2(float* x, size_t n, float shift) {
    size_t i = 0;
    __m256 sum = _mm256_setzero_ps();
    const __m256 s = _mm256_set1_ps(shift);
    for (; i + 8 <= n; i += 8) {
        const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(x + i), s));
        _mm256_storeu_ps(x + i, e);
        sum = _mm256_add_ps(sum, e);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, sum);
    float total = 0.0f;
    for (float lane : lanes) total += lane;
    for (; i < n; ++i) total += (x[i] = expLane(x[i] - shift));
    return total;
}

__attribute__((target("avx512f"))) float maximumAvx512(const float* x, size_t n) {
    size_t i = 0;
    __m512 m = _mm512_set1_ps(-INFINITY);
    for (; i + 16 <= n; i += 16) m = _mm512_max_ps(m, _mm512_loadu_ps(x + i));
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, m);
    float result = -INFINITY;
    for (float lane : lanes) result = lane > result ? lane : result;
    for (; i < n; ++i) result = x[i] > result ? x[i] : result;
    return result;
}

__attribute__((target("avx2"))) float maximumAvx2(const float* x, size_t n) {
    size_t i = 0;
    __m256 m = _mm256_set1_ps(-INFINITY);
    for (; i + 8 <= n; i += 8) m = _mm256_max_ps(m, _mm256_loadu_ps(x + i));
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, m);
    float result = -INFINITY;
    for (float lane : lanes) result = lane > result ? lane : result;
    for (; i < n; ++i) result = x[i] > result ? x[i] : result;
    return result;
}

// Attention rows of up to 128 values held in registers: the query (or the running sum)
// stays in up to 8 vector registers while the keys (or values) stream past. Keys are
// `ld` apart (a head's slice of each position), so the rows a few keys ahead are fetched
// early; four keys at a time keep four independent sums in flight.
__attribute__((target("avx512f"))) inline void prefetchRow(const float* r, size_t len) {
    for (size_t i = 0; i < len; i += 16) _mm_prefetch(reinterpret_cast<const char*>(r + i), _MM_HINT_T0);
}

__attribute__((target("avx512f"))) void dotRowsAvx512(const float* q, const float* rows, size_t ld, size_t count,
                                                      size_t len, float scale, float* out) {
    constexpr size_t ahead = 8;
    const size_t vectors = len / 16;
    __m512 qv[8];
    for (size_t v = 0; v < vectors; ++v) qv[v] = _mm512_loadu_ps(q + 16 * v);
    size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        const float* r = rows + j * ld;
        for (size_t a = 0; a < 4 && j + ahead + a < count; ++a) prefetchRow(r + (ahead + a) * ld, len);
        __m512 acc0 = _mm512_mul_ps(qv[0], _mm512_loadu_ps(r));
        __m512 acc1 = _mm512_mul_ps(qv[0], _mm512_loadu_ps(r + ld));
        __m512 acc2 = _mm512_mul_ps(qv[0], _mm512_loadu_ps(r + 2 * ld));
        __m512 acc3 = _mm512_mul_ps(qv[0], _mm512_loadu_ps(r + 3 * ld));
        for (size_t v = 1; v < vectors; ++v) {
            acc0 = _mm512_fmadd_ps(qv[v], _mm512_loadu_ps(r + 16 * v), acc0);
            acc1 = _mm512_fmadd_ps(qv[v], _mm512_loadu_ps(r + ld + 16 * v), acc1);
            acc2 = _mm512_fmadd_ps(qv[v], _mm512_loadu_ps(r + 2 * ld + 16 * v), acc2);
            acc3 = _mm512_fmadd_ps(qv[v], _mm512_loadu_ps(r + 3 * ld + 16 * v), acc3);
        }
        out[j] = scale * _mm512_reduce_add_ps(acc0);
        out[j + 1] = scale * _mm512_reduce_add_ps(acc1);
        out[j + 2] = scale * _mm512_reduce_add_ps(acc2);
        out[j + 3] = scale * _mm512_reduce_add_ps(acc3);
    }
    for (; j < count; ++j) {
        const float* r = rows + j * ld;
        __m512 acc = _mm512_mul_ps(qv[0], _mm512_loadu_ps(r));
        for (size_t v = 1; v < vectors; ++v) acc = _mm512_fmadd_ps(qv[v], _mm512_loadu_ps(r + 16 * v), acc);
        out[j] = scale * _mm512_reduce_add_ps(acc);
    }
}

__attribute__((target("avx512f"))) void weightedSumAvx512(const float* weights, const float* rows, size_t ld,
                                                          size_t count, size_t len, float* out) {
    const size_t vectors = len / 16;
    __m512 acc[8];
    for (size_t v = 0; v < vectors; ++v) acc[v] = _mm512_setzero_ps();
    for (size_t j = 0; j < count; ++j) {
        const __m512 w = _mm512_set1_ps(weights[j]);
        const float* r = rows + j * ld;
        if (j + 8 < count) prefetchRow(r + 8 * ld, len);
        for (size_t v = 0; v < vectors; ++v) acc[v] = _mm512_fmadd_ps(w, _mm512_loadu_ps(r + 16 * v), acc[v]);
    }
    for (size_t v = 0; v < vectors; ++v) _mm512_storeu_ps(out + 16 * v, acc[v]);
}

}  // namespace

void dotRows(const float* q, const float* rows, size_t ld, size_t count, size_t len, float scale, float* out) {
    if (chosenLevel() == Level::avx512 && len % 16 == 0 && len > 0 && len <= 128)
        return dotRowsAvx512(q, rows, ld, count, len, scale, out);
    for (size_t j = 0; j < count; ++j) out[j] = scale * dot(q, rows + j * ld, len);
}

void weightedSum(const float* weights, const float* rows, size_t ld, size_t count, size_t len, float* out) {
    if (chosenLevel() == Level::avx512 && len % 16 == 0 && len > 0 && len <= 128)
        return weightedSumAvx512(weights, rows, ld, count, len, out);
    for (size_t i = 0; i < len; ++i) out[i] = 0.0f;
    for (size_t j = 0; j < count; ++j) axpy(out, rows + j * ld, weights[j], len);
}

void expInPlace(float* x, size_t n) { isa::expInPlace(chosenLevel(), x, n); }

void geluInPlace(float* x, size_t n) { isa::geluInPlace(chosenLevel(), x, n); }

float maximum(const float* x, size_t n) { return isa::maximum(chosenLevel(), x, n); }

float expShiftedSum(float* x, size_t n, float shift) { return isa::expShiftedSum(chosenLevel(), x, n, shift); }

void softmaxInPlace(float* row, size_t n) {
    if (n == 0) return;
    const float sum = expShiftedSum(row, n, maximum(row, n));
    scaleInPlace(row, n, 1.0f / sum);
}

namespace {

// The loops below are written once and compiled for each instruction set: inlined into a
// function built for AVX-512, one built for AVX2 with FMA, and plainly. They run in the form
// this processor can (`chosenLevel`, told by its features, so an AVX2 processor of any make
// gets the AVX2 form).
template <auto loop, class... Args>
__attribute__((target("avx512f"))) auto onAvx512(Args... args) {
    return loop(args...);
}

template <auto loop, class... Args>
__attribute__((target("avx2,fma"))) auto onAvx2(Args... args) {
    return loop(args...);
}

template <auto loop, class... Args>
auto onLevel(Level level, Args... args) {
    switch (level) {
    case Level::avx512: return onAvx512<loop>(args...);
    case Level::avx2: return onAvx2<loop>(args...);
    case Level::plain: break;
    }
    return loop(args...);
}

[[gnu::always_inline]] inline void scaleLoop(float* x, size_t n, float factor) {
#pragma omp simd
    for (size_t i = 0; i < n; ++i) x[i] *= factor;
}

[[gnu::always_inline]] inline void addLoop(float* y, const float* x, size_t n) {
#pragma omp simd
    for (size_t i = 0; i < n; ++i) y[i] += x[i];
}

[[gnu::always_inline]] inline void layerNormLoop(const float* in, float* out, size_t rows, size_t width, const float* weight, const float* bias) {
    for (size_t r = 0; r < rows; ++r) {
        const float* x = in + r * width;
        float* y = out + r * width;
        float sum = 0.0f;
#pragma omp simd reduction(+ : sum)
        for (size_t i = 0; i < width; ++i) sum += x[i];
        const float mean = sum / float(width);
        float var = 0.0f;
#pragma omp simd reduction(+ : var)
        for (size_t i = 0; i < width; ++i) var += (x[i] - mean) * (x[i] - mean);
        const float inv = 1.0f / std::sqrt(var / float(width) + 1e-5f);
#pragma omp simd
        for (size_t i = 0; i < width; ++i) y[i] = (x[i] - mean) * inv * weight[i] + bias[i];
    }
}

[[gnu::always_inline]] inline float dotLoop(const float* a, const float* b, size_t n) {
    float s = 0.0f;
#pragma omp simd reduction(+ : s)
    for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

[[gnu::always_inline]] inline void axpyLoop(float* y, const float* x, float a, size_t n) {
#pragma omp simd
    for (size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

}  // namespace

void scaleInPlace(float* x, size_t n, float factor) { isa::scaleInPlace(chosenLevel(), x, n, factor); }

void addInPlace(float* y, const float* x, size_t n) { isa::addInPlace(chosenLevel(), y, x, n); }

void layerNorm(const float* in, float* out, size_t rows, size_t width, const float* weight, const float* bias) {
    isa::layerNorm(chosenLevel(), in, out, rows, width, weight, bias);
}

float dot(const float* a, const float* b, size_t n) { return isa::dot(chosenLevel(), a, b, n); }

void axpy(float* y, const float* x, float a, size_t n) { isa::axpy(chosenLevel(), y, x, a, n); }

namespace isa {

bool available(Level level) {
    switch (level) {
    case Level::plain: return true;
    case Level::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Level::avx512: return __builtin_cpu_supports("avx512f");
    }
    return false;
}

void expInPlace(Level level, float* x, size_t n) {
    if (level == Level::avx512) return expAvx512(x, n);
    if (level == Level::avx2) return expAvx2(x, n);
    for (size_t i = 0; i < n; ++i) x[i] = expLane(x[i]);
}

void geluInPlace(Level level, float* x, size_t n) {
    if (level == Level::avx512) return geluAvx512(x, n);
    if (level == Level::avx2) return geluAvx2(x, n);
    for (size_t i = 0; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + erfLane(x[i] * 0.70710678118654752f));
}

float maximum(Level level, const float* x, size_t n) {
    if (level == Level::avx512) return maximumAvx512(x, n);
    if (level == Level::avx2) return maximumAvx2(x, n);
    float result = x[0];
    for (size_t i = 1; i < n; ++i) result = x[i] > result ? x[i] : result;
    return result;
}

float expShiftedSum(Level level, float* x, size_t n, float shift) {
    if (level == Level::avx512) return shiftedExpAvx512(x, n, shift);
    if (level == Level::avx2) return shiftedExpAvx2(x, n, shift);
    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) sum += (x[i] = expLane(x[i] - shift));
    return sum;
}

void scaleInPlace(Level level, float* x, size_t n, float factor) { onLevel<scaleLoop>(level, x, n, factor); }

void addInPlace(Level level, float* y, const float* x, size_t n) { onLevel<addLoop>(level, y, x, n); }

void layerNorm(Level level, const float* in, float* out, size_t rows, size_t width, const float* weight, const float* bias) {
    onLevel<layerNormLoop>(level, in, out, rows, width, weight, bias);
}

float dot(Level level, const float* a, const float* b, size_t n) { return onLevel<dotLoop>(level, a, b, n); }

void axpy(Level level, float* y, const float* x, float a, size_t n) { onLevel<axpyLoop>(level, y, x, a, n); }

}  // namespace isa

}  // namespace platform::ml::kernels
