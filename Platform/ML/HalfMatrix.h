#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/ML/Kernels.h"

namespace platform::ml {

// A linear layer's weights [n x k] kept in fp16 for the decoder, whose products have
// few rows and are bound by memory bandwidth: every row of weights is read once per
// call, widened to float32 and multiplied with float32 accumulation. Thread-safe.
class HalfMatrix {
public:
    HalfMatrix() = default;
    HalfMatrix(std::vector<uint16_t> weights, int64_t n, int64_t k, std::vector<float> bias);

    // y[m x n] = x[m x k] times the transposed weights, plus the bias, with the best
    // kernel this processor runs; the second form takes a given instruction set (tests
    // compare them; one the processor lacks falls back to the plain kernel).
    void multiply(const float* x, int64_t m, float* y) const;
    void multiply(const float* x, int64_t m, float* y, kernels::isa::Level level) const;
    // The float32 value of one row (an embedding lookup).
    void row(int64_t index, float* out) const;

    int64_t outputs() const { return n_; }
    int64_t inputs() const { return k_; }
    size_t byteCount() const { return weights_.size() * 2; }

private:
    std::vector<uint16_t> weights_;
    std::vector<float> bias_;
    int64_t n_ = 0, k_ = 0;
};

}  // namespace platform::ml
