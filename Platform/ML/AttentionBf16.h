#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform::ml {

// The encoder's self attention with bfloat16 products (float32 accumulation, softmax in
// float32) on oneDNN, wherever the encoder runs bfloat16 products. Queries, keys and values are first copied
// head by head into contiguous bfloat16 blocks, which is the layout the fast bfloat16 kernels take;
// then tasks of one head and 64 query rows run on the OpenMP pool, each with its score
// tile in the cache. Thread-safe; the primitives are made once.
class AttentionBf16 {
public:
    AttentionBf16(int64_t tokens, int64_t heads, int64_t headDim);
    ~AttentionBf16();

    // q, k, v: column h*headDim.. of rows with stride ld (float32); out: [tokens x ld_out].
    // `scratch` is resized as needed and may be reused between calls.
    void run(const float* q, const float* k, const float* v, int64_t ld, float* out, int64_t ldOut,
             std::vector<uint16_t>& scratch) const;

private:
    struct Primitives;
    int64_t tokens_, heads_, headDim_;
    std::unique_ptr<Primitives> primitives_;
};

}  // namespace platform::ml
