#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::ml {

// IEEE 754 binary16. Conversion from float rounds to nearest, ties to even, and keeps
// infinities, NaNs and subnormals.
struct Half {
    uint16_t bits = 0;

    Half() = default;
    explicit Half(float value);
    explicit operator float() const;

    static Half fromBits(uint16_t b) {
        Half h;
        h.bits = b;
        return h;
    }
    friend bool operator==(Half a, Half b) { return a.bits == b.bits; }
};

uint16_t floatToHalfBits(float value);
float halfBitsToFloat(uint16_t bits);

// Whether the processor converts between half and float in hardware (F16C). Asked of
// cpuid: clang's __builtin_cpu_supports does not know the feature.
bool processorHasF16c();

// Bulk conversions (vectorised where the processor has F16C).
void halfToFloat(const uint16_t* in, float* out, size_t count);
void floatToHalf(const float* in, uint16_t* out, size_t count);

}  // namespace platform::ml
