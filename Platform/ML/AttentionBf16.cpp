#include "Platform/ML/AttentionBf16.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <oneapi/dnnl/dnnl.hpp>

#include "Platform/ML/Kernels.h"
#include "Platform/ML/ThreadTeam.h"

namespace platform::ml {

namespace {

constexpr int64_t kTile = 64;

const dnnl::engine& cpuEngine() {
    static const dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    return engine;
}

uint16_t bf16(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    if ((x & 0x7fffffffu) > 0x7f800000u) return uint16_t((x >> 16) | 0x40u);
    x += 0x7fffu + ((x >> 16) & 1u);
    return uint16_t(x >> 16);
}

__attribute__((target("avx512f,avx512bf16"))) void toBf16Native(const float* in, uint16_t* out, int64_t n) {
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256bh b = _mm512_cvtneps_pbh(_mm512_loadu_ps(in + i));
        std::memcpy(out + i, &b, 32);
    }
    for (; i < n; ++i) out[i] = bf16(in[i]);
}

void toBf16(const float* in, uint16_t* out, int64_t n) {
    static const bool native = __builtin_cpu_supports("avx512bf16");
    if (native) return toBf16Native(in, out, n);
    for (int64_t i = 0; i < n; ++i) out[i] = bf16(in[i]);
}

struct Matmul {
    dnnl::matmul::primitive_desc pd;
    dnnl::matmul primitive;
};

}  // namespace

// Per tile height (64 and the remainder): scores = Q K^T scaled, and out = P V.
struct AttentionBf16::Primitives {
    Matmul scores[2];
    Matmul weighted[2];
    int64_t rows[2] = {0, 0};
};

AttentionBf16::AttentionBf16(int64_t tokens, int64_t heads, int64_t headDim)
    : tokens_(tokens), heads_(heads), headDim_(headDim), primitives_(std::make_unique<Primitives>()) {
    using dt = dnnl::memory::data_type;
    using tag = dnnl::memory::format_tag;
    // Planned for one thread: each runs inside a task of ours, whatever the team size.
    const SingleThreadedLibraries single;
    const int64_t tail = tokens % kTile;
    primitives_->rows[0] = std::min(kTile, tokens);
    primitives_->rows[1] = tail;
    for (int i = 0; i < 2; ++i) {
        const int64_t m = primitives_->rows[i];
        if (m == 0) continue;
        dnnl::primitive_attr attr;
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        attr.set_output_scales(0, {1.0f / std::sqrt(float(headDim))});
        // Q tile [m x dh] times K^T: K is [tokens x dh] row-major, i.e. [dh x tokens] in "ba".
        dnnl::memory::desc q({m, headDim}, dt::bf16, tag::ab), kt({headDim, tokens}, dt::bf16, tag::ba),
            s({m, tokens}, dt::f32, tag::ab);
        auto pd = dnnl::matmul::primitive_desc(dnnl::matmul::desc(q, kt, s), attr, cpuEngine());
        primitives_->scores[i] = {pd, dnnl::matmul(pd)};
        dnnl::primitive_attr attr2;
        attr2.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        dnnl::memory::desc p({m, tokens}, dt::bf16, tag::ab), v({tokens, headDim}, dt::bf16, tag::ab),
            o({m, headDim}, dt::f32, tag::ab);
        auto pd2 = dnnl::matmul::primitive_desc(dnnl::matmul::desc(p, v, o), attr2, cpuEngine());
        primitives_->weighted[i] = {pd2, dnnl::matmul(pd2)};
    }
}

AttentionBf16::~AttentionBf16() = default;

void AttentionBf16::run(const float* q, const float* k, const float* v, int64_t ld, float* out, int64_t ldOut,
                        std::vector<uint16_t>& scratch) const {
    const int64_t n = tokens_, dh = headDim_, block = n * dh;
    scratch.resize(size_t(3 * heads_ * block));
    uint16_t* qs = scratch.data();
    uint16_t* ks = qs + heads_ * block;
    uint16_t* vs = ks + heads_ * block;
    // Head-contiguous bfloat16 copies: [head][token][dh].
#pragma omp parallel for collapse(2) schedule(static)
    for (int64_t h = 0; h < heads_; ++h)
        for (int64_t t = 0; t < n; ++t) {
            toBf16(q + t * ld + h * dh, qs + h * block + t * dh, dh);
            toBf16(k + t * ld + h * dh, ks + h * block + t * dh, dh);
            toBf16(v + t * ld + h * dh, vs + h * block + t * dh, dh);
        }
    using dt = dnnl::memory::data_type;
    using tag = dnnl::memory::format_tag;
    const int64_t tiles = (n + kTile - 1) / kTile;
    const auto& engine = cpuEngine();
#pragma omp parallel
    {
        const SingleThreadedLibraries single;
        dnnl::stream stream(engine);
        std::vector<float> scores(size_t(kTile * n));
        std::vector<uint16_t> probabilities(size_t(kTile * n));
        std::vector<float> result(size_t(kTile * dh));
        std::vector<uint8_t> pad;
#pragma omp for schedule(dynamic)
        for (int64_t task = 0; task < heads_ * tiles; ++task) {
            const int64_t h = task / tiles, r0 = (task % tiles) * kTile, m = std::min(kTile, n - r0);
            const int which = m == primitives_->rows[0] ? 0 : 1;
            const Matmul& sm = primitives_->scores[which];
            const Matmul& wm = primitives_->weighted[which];
            const size_t need = std::max(sm.pd.scratchpad_desc().get_size(), wm.pd.scratchpad_desc().get_size());
            if (pad.size() < need) pad.resize(need);
            dnnl::memory qm({{m, dh}, dt::bf16, tag::ab}, engine, qs + h * block + r0 * dh);
            dnnl::memory km({{dh, n}, dt::bf16, tag::ba}, engine, ks + h * block);
            dnnl::memory sMem({{m, n}, dt::f32, tag::ab}, engine, scores.data());
            dnnl::memory sPad(sm.pd.scratchpad_desc(), engine, pad.data());
            sm.primitive.execute(stream, {{DNNL_ARG_SRC, qm}, {DNNL_ARG_WEIGHTS, km}, {DNNL_ARG_DST, sMem},
                                          {DNNL_ARG_SCRATCHPAD, sPad}});
            stream.wait();
            for (int64_t r = 0; r < m; ++r) {
                kernels::softmaxInPlace(scores.data() + r * n, size_t(n));
                toBf16(scores.data() + r * n, probabilities.data() + r * n, n);
            }
            dnnl::memory pm({{m, n}, dt::bf16, tag::ab}, engine, probabilities.data());
            dnnl::memory vm({{n, dh}, dt::bf16, tag::ab}, engine, vs + h * block);
            dnnl::memory om({{m, dh}, dt::f32, tag::ab}, engine, result.data());
            dnnl::memory wPad(wm.pd.scratchpad_desc(), engine, pad.data());
            wm.primitive.execute(stream, {{DNNL_ARG_SRC, pm}, {DNNL_ARG_WEIGHTS, vm}, {DNNL_ARG_DST, om},
                                          {DNNL_ARG_SCRATCHPAD, wPad}});
            stream.wait();
            for (int64_t r = 0; r < m; ++r)
                std::memcpy(out + (r0 + r) * ldOut + h * dh, result.data() + r * dh, size_t(dh) * sizeof(float));
        }
    }
}

}  // namespace platform::ml
