#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform::ml {

// The arithmetic of the large matrix products. `automatic` takes bfloat16 (with float32
// accumulation) where it is the faster one on this processor and float32 elsewhere
// (automaticPrecision() in PrecisionChoice.h says which and why).
enum class MatrixPrecision { automatic, float32, bfloat16 };

bool processorHasAmx();
// Whether bfloat16 products can run on this machine at all (not always faster than float32).
bool bfloat16Available();
MatrixPrecision resolvePrecision(MatrixPrecision requested);

// A linear layer's weights [n x k] (out x in) packed once for the matrix library:
// C[m x n] = A[m x k] times the transposed weights, plus the bias. Thread-safe.
// bfloat16: packed by oneDNN. float32: kept in fp16 (half the memory) and widened into
// the caller's scratch panel by panel just before each product.
class MatrixProduct {
public:
    // `rows` is the number of rows the layer will mostly see; the packed layout is chosen
    // for it. Other row counts work too.
    MatrixProduct(const std::vector<float>& weights, int64_t n, int64_t k, std::vector<float> bias,
                  MatrixPrecision precision, int64_t rows);
    ~MatrixProduct();
    MatrixProduct(MatrixProduct&&) noexcept;
    MatrixProduct& operator=(MatrixProduct&&) noexcept;

    void multiply(const float* a, int64_t m, float* c) const;
    // The same with a scratch buffer the caller keeps between calls: the widened weights
    // (float32) or the bfloat16 copy of `a` (bfloat16).
    void multiply(const float* a, int64_t m, float* c, std::vector<float>& scratch) const;
    int64_t outputs() const { return n_; }
    int64_t inputs() const { return k_; }
    MatrixPrecision precision() const { return precision_; }

private:
    struct Packed;
    int64_t n_ = 0, k_ = 0;
    MatrixPrecision precision_ = MatrixPrecision::float32;
    std::vector<uint16_t> halfWeights_;  // float32 path
    std::vector<float> bias_;
    std::unique_ptr<Packed> packed_;  // bfloat16 path
};

// Plain float32 products (oneDNN, in fixed tiles), for attention and the mel model.
// C[m x n] = alpha A[m x k] B[n x k]^T (+ beta C)
void gemmNT(int64_t m, int64_t n, int64_t k, float alpha, const float* a, int64_t lda, const float* b, int64_t ldb,
            float beta, float* c, int64_t ldc);
// C[m x n] = A[m x k] B[k x n] (+ beta C)
void gemmNN(int64_t m, int64_t n, int64_t k, const float* a, int64_t lda, const float* b, int64_t ldb, float beta,
            float* c, int64_t ldc);

}  // namespace platform::ml
