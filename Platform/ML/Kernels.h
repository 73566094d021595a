#pragma once

#include <cstddef>
#include <cstdint>

// Element-wise and row kernels of the runtime. Each has a vectorised build for AVX-512
// and AVX2 processors and a plain one, chosen once at run time.
namespace platform::ml::kernels {

void expInPlace(float* x, size_t n);          // e^x, relative error about 2e-7
void geluInPlace(float* x, size_t n);         // exact (erf) form, absolute error about 3e-7
void softmaxInPlace(float* row, size_t n);
float maximum(const float* x, size_t n);                  // n >= 1
float expShiftedSum(float* x, size_t n, float shift);     // x = e^(x - shift), returns the sum
void scaleInPlace(float* x, size_t n, float factor);
void addInPlace(float* y, const float* x, size_t n);  // y += x
// Each of `rows` rows of `width` values, normalised over its width, then times weight
// plus bias (epsilon 1e-5). `in` and `out` may be the same.
void layerNorm(const float* in, float* out, size_t rows, size_t width, const float* weight, const float* bias);
float dot(const float* a, const float* b, size_t n);
void axpy(float* y, const float* x, float a, size_t n);  // y += a x
// out[j] = scale * (q . rows[j]) for `count` rows of `len` values, `ld` apart.
void dotRows(const float* q, const float* rows, size_t ld, size_t count, size_t len, float scale, float* out);
// out = sum over j of weights[j] * rows[j] (`count` rows of `len` values, `ld` apart).
void weightedSum(const float* weights, const float* rows, size_t ld, size_t count, size_t len, float* out);

// Each processor's form of the functions above, which run the best one this processor
// has, so that tests can check every one the machine can run. `available` tells whether
// this processor can; the others take only a level it can.
namespace isa {
enum class Level { plain, avx2, avx512 };
bool available(Level level);
void expInPlace(Level level, float* x, size_t n);
void geluInPlace(Level level, float* x, size_t n);
float maximum(Level level, const float* x, size_t n);
float expShiftedSum(Level level, float* x, size_t n, float shift);
void scaleInPlace(Level level, float* x, size_t n, float factor);
void addInPlace(Level level, float* y, const float* x, size_t n);
void layerNorm(Level level, const float* in, float* out, size_t rows, size_t width, const float* weight, const float* bias);
float dot(Level level, const float* a, const float* b, size_t n);
void axpy(Level level, float* y, const float* x, float a, size_t n);
}  // namespace isa

}  // namespace platform::ml::kernels
