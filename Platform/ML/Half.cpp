#include "Platform/ML/Half.h"

#include <bit>
#include <cstring>
#include <cpuid.h>
#include <immintrin.h>

namespace platform::ml {

uint16_t floatToHalfBits(float value) {
    const uint32_t x = std::bit_cast<uint32_t>(value);
    const uint32_t sign = (x >> 16) & 0x8000u;
    const uint32_t absx = x & 0x7fffffffu;
    if (absx >= 0x7f800000u) {  // infinity or NaN (NaNs stay quiet NaNs)
        if (absx == 0x7f800000u) return uint16_t(sign | 0x7c00u);
        return uint16_t(sign | 0x7e00u | ((absx >> 13) & 0x3ffu));
    }
    if (absx >= 0x477ff000u) return uint16_t(sign | 0x7c00u);  // rounds past 65504
    if (absx >= 0x38800000u) {                                 // a normal half
        const uint32_t mant = absx & 0x7fffffu;
        const uint32_t exp = (absx >> 23) - 127 + 15;
        uint32_t h = (exp << 10) | (mant >> 13);
        const uint32_t rest = mant & 0x1fffu;
        if (rest > 0x1000u || (rest == 0x1000u && (h & 1u))) ++h;  // a carry moves the exponent
        return uint16_t(sign | h);
    }
    if (absx < 0x33000000u) return uint16_t(sign);  // at most 2^-25: ties to even zero
    const uint32_t e = absx >> 23;
    const uint32_t mant = (absx & 0x7fffffu) | 0x800000u;
    const uint32_t shift = 126 - e;  // 14..24
    uint32_t h = mant >> shift;
    const uint32_t rest = mant & ((1u << shift) - 1);
    const uint32_t halfway = 1u << (shift - 1);
    if (rest > halfway || (rest == halfway && (h & 1u))) ++h;
    return uint16_t(sign | h);
}

float halfBitsToFloat(uint16_t bits) {
    const uint32_t sign = uint32_t(bits & 0x8000u) << 16;
    const uint32_t exp = (bits >> 10) & 0x1fu;
    uint32_t mant = bits & 0x3ffu;
    uint32_t out;
    if (exp == 0) {
        if (mant == 0) {
            out = sign;
        } else {  // subnormal: normalise
            int e = -1;
            do {
                mant <<= 1;
                ++e;
            } while ((mant & 0x400u) == 0);
            out = sign | uint32_t(127 - 15 - e) << 23 | (mant & 0x3ffu) << 13;
        }
    } else if (exp == 31) {
        out = sign | 0x7f800000u | mant << 13;
    } else {
        out = sign | (exp + 127 - 15) << 23 | mant << 13;
    }
    return std::bit_cast<float>(out);
}

Half::Half(float value) : bits(floatToHalfBits(value)) {}
Half::operator float() const { return halfBitsToFloat(bits); }

namespace {

__attribute__((target("avx2,f16c"))) void halfToFloatF16c(const uint16_t* in, float* out, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i h;
        std::memcpy(&h, in + i, 16);
        const __m256 f = _mm256_cvtph_ps(h);
        std::memcpy(out + i, &f, 32);
    }
    for (; i < n; ++i) out[i] = halfBitsToFloat(in[i]);
}

__attribute__((target("avx2,f16c"))) void floatToHalfF16c(const float* in, uint16_t* out, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 f;
        std::memcpy(&f, in + i, 32);
        const __m128i h = _mm256_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        std::memcpy(out + i, &h, 16);
    }
    for (; i < n; ++i) out[i] = floatToHalfBits(in[i]);
}

bool hasF16c() {
    static const bool has = processorHasF16c() && __builtin_cpu_supports("avx2");
    return has;
}

}  // namespace

bool processorHasF16c() {
    static const bool has = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
    }();
    return has;
}

void halfToFloat(const uint16_t* in, float* out, size_t count) {
    if (hasF16c()) return halfToFloatF16c(in, out, count);
    for (size_t i = 0; i < count; ++i) out[i] = halfBitsToFloat(in[i]);
}

void floatToHalf(const float* in, uint16_t* out, size_t count) {
    if (hasF16c()) return floatToHalfF16c(in, out, count);
    for (size_t i = 0; i < count; ++i) out[i] = floatToHalfBits(in[i]);
}

}  // namespace platform::ml
