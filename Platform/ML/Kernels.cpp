#include "Platform/ML/Kernels.h"

#include <bit>
#include <cmath>

namespace platform::ml::kernels {

namespace {

// Cephes' single-precision exponential: range reduction by ln 2 in two parts, a
// degree-6 polynomial, the power of two built in the exponent bits. Branch-free, so the
// loops below vectorise.
inline float expLane(float x) {
    x = x < -87.0f ? -87.0f : (x > 88.0f ? 88.0f : x);
    const float n = std::floor(x * 1.44269504088896341f + 0.5f);
    const float r = x - n * 0.693359375f + n * 2.12194440e-4f;
    const float r2 = r * r;
    const float p = (((((1.9875691500e-4f * r + 1.3981999507e-3f) * r + 8.3334519073e-3f) * r + 4.1665795894e-2f) * r +
                      1.6666665459e-1f) * r + 5.0000001201e-1f) * r2 + r + 1.0f;
    const float scale = std::bit_cast<float>((int32_t(n) + 127) << 23);
    return p * scale;
}

// Abramowitz and Stegun 7.1.26 (absolute error below 1.5e-7).
inline float erfLane(float x) {
    const float a = std::fabs(x);
    const float t = 1.0f / (1.0f + 0.3275911f * a);
    const float poly = ((((1.061405429f * t - 1.453152027f) * t + 1.421413741f) * t - 0.284496736f) * t + 0.254829592f) * t;
    const float y = 1.0f - poly * expLane(-a * a);
    return std::copysign(y, x);
}

}  // namespace

__attribute__((target_clones("arch=skylake-avx512", "arch=haswell", "default"))) void expInPlace(float* x, size_t n) {
#pragma omp simd
    for (size_t i = 0; i < n; ++i) x[i] = expLane(x[i]);
}

__attribute__((target_clones("arch=skylake-avx512", "arch=haswell", "default"))) void geluInPlace(float* x, size_t n) {
#pragma omp simd
    for (size_t i = 0; i < n; ++i) x[i] = 0.5f * x[i] * (1.0f + erfLane(x[i] * 0.70710678118654752f));
}

__attribute__((target_clones("arch=skylake-avx512", "arch=haswell", "default"))) void softmaxInPlace(float* row, size_t n) {
    if (n == 0) return;
    float m = row[0];
#pragma omp simd reduction(max : m)
    for (size_t i = 0; i < n; ++i) m = row[i] > m ? row[i] : m;
    float sum = 0.0f;
#pragma omp simd reduction(+ : sum)
    for (size_t i = 0; i < n; ++i) {
        row[i] = expLane(row[i] - m);
        sum += row[i];
    }
    const float inv = 1.0f / sum;
#pragma omp simd
    for (size_t i = 0; i < n; ++i) row[i] *= inv;
}

__attribute__((target_clones("arch=skylake-avx512", "arch=haswell", "default"))) void scaleInPlace(float* x, size_t n, float factor) {
#pragma omp simd
    for (size_t i = 0; i < n; ++i) x[i] *= factor;
}

__attribute__((target_clones("arch=skylake-avx512", "arch=haswell", "default"))) void addInPlace(float* y, const float* x, size_t n) {
#pragma omp simd
    for (size_t i = 0; i < n; ++i) y[i] += x[i];
}

__attribute__((target_clones("arch=skylake-avx512", "arch=haswell", "default"))) void layerNorm(const float* in, float* out, size_t rows, size_t width, const float* weight,
                            const float* bias) {
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

__attribute__((target_clones("arch=skylake-avx512", "arch=haswell", "default"))) float dot(const float* a, const float* b, size_t n) {
    float s = 0.0f;
#pragma omp simd reduction(+ : s)
    for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

__attribute__((target_clones("arch=skylake-avx512", "arch=haswell", "default"))) void axpy(float* y, const float* x, float a, size_t n) {
#pragma omp simd
    for (size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

}  // namespace platform::ml::kernels
