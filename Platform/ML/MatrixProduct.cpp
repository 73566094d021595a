#include "Platform/ML/MatrixProduct.h"

#include <cblas.h>
#include <cpuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <oneapi/dnnl/dnnl.hpp>

#include "Platform/ML/Half.h"
#include "Platform/ML/MlError.h"

namespace platform::ml {

namespace {

bool amxUsable() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    const bool amxBf16 = (d >> 22) & 1u, amxTile = (d >> 24) & 1u;
    if (!amxBf16 || !amxTile) return false;
    // The kernel hands out AMX tile state only on request (Linux 5.16 and later).
    constexpr long archReqXcompPerm = 0x1023, xfeatureXtiledata = 18;
    return syscall(SYS_arch_prctl, archReqXcompPerm, xfeatureXtiledata) == 0;
}

const dnnl::engine& cpuEngine() {
    static const dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    return engine;
}

uint16_t toBf16(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    if ((x & 0x7fffffffu) > 0x7f800000u) return uint16_t((x >> 16) | 0x40u);  // quiet NaN
    x += 0x7fffu + ((x >> 16) & 1u);  // round to nearest even
    return uint16_t(x >> 16);
}

// AVX512-BF16 rounds to nearest even in one instruction (and keeps NaNs NaN).
__attribute__((target("avx512f,avx512bf16"))) void toBf16Avx512(const float* in, uint16_t* out, int64_t n) {
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256bh b = _mm512_cvtneps_pbh(_mm512_loadu_ps(in + i));
        std::memcpy(out + i, &b, 32);
    }
    for (; i < n; ++i) out[i] = toBf16(in[i]);
}

void toBf16(const float* in, uint16_t* out, int64_t n) {
    static const bool native = __builtin_cpu_supports("avx512bf16");
    constexpr int64_t chunk = 16384;
#pragma omp parallel for schedule(static) if (n > 4 * chunk)
    for (int64_t c = 0; c < n; c += chunk) {
        const int64_t len = std::min(chunk, n - c);
        if (native) {
            toBf16Avx512(in + c, out + c, len);
        } else {
            for (int64_t i = c; i < c + len; ++i) out[i] = toBf16(in[i]);
        }
    }
}

}  // namespace

bool processorHasAmx() {
    static const bool has = amxUsable();
    return has;
}

bool bfloat16Available() {
    static const bool available = [] {
        try {
            using dt = dnnl::memory::data_type;
            using tag = dnnl::memory::format_tag;
            dnnl::memory::desc a({16, 64}, dt::bf16, tag::ab), b({64, 16}, dt::bf16, tag::any),
                c({16, 16}, dt::f32, tag::ab);
            dnnl::matmul::primitive_desc pd(dnnl::matmul::desc(a, b, c), cpuEngine());
            return true;
        } catch (const dnnl::error&) {
            return false;
        }
    }();
    return available;
}

MatrixPrecision resolvePrecision(MatrixPrecision requested) {
    switch (requested) {
    case MatrixPrecision::float32: return MatrixPrecision::float32;
    case MatrixPrecision::bfloat16:
        if (!bfloat16Available())
            throw MlError(MlError::Code::unsupported, "bfloat16 matrix products are not available on this processor");
        return MatrixPrecision::bfloat16;
    case MatrixPrecision::automatic: break;
    }
    return processorHasAmx() && bfloat16Available() ? MatrixPrecision::bfloat16 : MatrixPrecision::float32;
}

// The oneDNN side of the bfloat16 path: the weights reordered once into the layout the
// primitive wants, and one primitive per row count (made on first use).
struct MatrixProduct::Packed {
    dnnl::memory::desc weightsDesc;
    dnnl::memory weights;
    dnnl::memory bias;
    mutable std::mutex mutex;
    mutable std::map<int64_t, std::pair<dnnl::matmul::primitive_desc, dnnl::matmul>> primitives;

    std::pair<dnnl::matmul::primitive_desc, dnnl::matmul> primitive(int64_t m, int64_t n, int64_t k, bool withBias,
                                                                   const dnnl::memory::desc* weightsOverride) const {
        using dt = dnnl::memory::data_type;
        using tag = dnnl::memory::format_tag;
        dnnl::memory::desc a({m, k}, dt::bf16, tag::ab), c({m, n}, dt::f32, tag::ab);
        dnnl::memory::desc w = weightsOverride ? *weightsOverride : dnnl::memory::desc({k, n}, dt::bf16, tag::any);
        dnnl::primitive_attr attr;
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        auto desc = withBias ? dnnl::matmul::desc(a, w, dnnl::memory::desc({1, n}, dt::f32, tag::ab), c)
                             : dnnl::matmul::desc(a, w, c);
        dnnl::matmul::primitive_desc pd(desc, attr, cpuEngine());
        return {pd, dnnl::matmul(pd)};
    }
};

MatrixProduct::MatrixProduct(const std::vector<float>& weights, int64_t n, int64_t k, std::vector<float> bias,
                             MatrixPrecision precision, int64_t rows)
    : n_(n), k_(k), precision_(resolvePrecision(precision)), bias_(std::move(bias)) {
    if (int64_t(weights.size()) != n * k || (!bias_.empty() && int64_t(bias_.size()) != n))
        throw MlError(MlError::Code::invalidModel, "Matrix product weights do not match their shape");
    if (precision_ == MatrixPrecision::float32) {
        halfWeights_.resize(weights.size());
        floatToHalf(weights.data(), halfWeights_.data(), weights.size());
        return;
    }
    using dt = dnnl::memory::data_type;
    using tag = dnnl::memory::format_tag;
    packed_ = std::make_unique<Packed>();
    auto [pd, prim] = packed_->primitive(rows, n, k, !bias_.empty(), nullptr);
    packed_->weightsDesc = pd.weights_desc();
    // Our weights are [n x k] row-major, which is the [k x n] matrix in the "ba" layout.
    std::vector<uint16_t> bf(weights.size());
    toBf16(weights.data(), bf.data(), int64_t(bf.size()));
    dnnl::memory plain(dnnl::memory::desc({k, n}, dt::bf16, tag::ba), cpuEngine(), bf.data());
    packed_->weights = dnnl::memory(packed_->weightsDesc, cpuEngine());
    dnnl::stream stream(cpuEngine());
    dnnl::reorder(plain, packed_->weights).execute(stream, plain, packed_->weights);
    stream.wait();
    if (!bias_.empty())
        packed_->bias = dnnl::memory(dnnl::memory::desc({1, n}, dt::f32, tag::ab), cpuEngine(), bias_.data());
    packed_->primitives.emplace(rows, std::make_pair(pd, prim));
}

MatrixProduct::~MatrixProduct() = default;
MatrixProduct::MatrixProduct(MatrixProduct&&) noexcept = default;
MatrixProduct& MatrixProduct::operator=(MatrixProduct&&) noexcept = default;

void MatrixProduct::multiply(const float* a, int64_t m, float* c) const {
    std::vector<float> scratch;
    multiply(a, m, c, scratch);
}

void MatrixProduct::multiply(const float* a, int64_t m, float* c, std::vector<float>& scratch) const {
    if (m <= 0) return;
    if (precision_ == MatrixPrecision::float32) {
        if (!bias_.empty()) {
#pragma omp parallel for schedule(static) if (m * n_ > 65536)
            for (int64_t i = 0; i < m; ++i) std::memcpy(c + i * n_, bias_.data(), size_t(n_) * 4);
        }
        // Panels of at most 8M weights (32 MiB widened): every layer of the largest
        // model is one panel, so the BLAS packs A once.
        constexpr int64_t panelFloats = int64_t(1) << 23;
        const int64_t panel = n_ * k_ <= panelFloats ? n_ : std::max<int64_t>(64, panelFloats / k_ / 64 * 64);
        if (int64_t(scratch.size()) < panel * k_) scratch.resize(size_t(panel * k_));
        for (int64_t p0 = 0; p0 < n_; p0 += panel) {
            const int64_t rows = std::min(panel, n_ - p0);
#pragma omp parallel for schedule(static)
            for (int64_t r = 0; r < rows; r += 16)
                halfToFloat(halfWeights_.data() + (p0 + r) * k_, scratch.data() + r * k_,
                            size_t(std::min<int64_t>(16, rows - r) * k_));
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, blasint(m), blasint(rows), blasint(k_), 1.0f, a,
                        blasint(k_), scratch.data(), blasint(k_), bias_.empty() ? 0.0f : 1.0f, c + p0, blasint(n_));
        }
        return;
    }
    using dt = dnnl::memory::data_type;
    using tag = dnnl::memory::format_tag;
    std::pair<dnnl::matmul::primitive_desc, dnnl::matmul> entry;
    {
        std::scoped_lock lock(packed_->mutex);
        auto it = packed_->primitives.find(m);
        if (it == packed_->primitives.end())
            it = packed_->primitives.emplace(m, packed_->primitive(m, n_, k_, !bias_.empty(), &packed_->weightsDesc)).first;
        entry = it->second;
    }
    // Not value-initialised: every element is written by the conversion.
    const std::unique_ptr<uint16_t[]> abf(new uint16_t[size_t(m * k_)]);
    toBf16(a, abf.get(), m * k_);
    const auto& engine = cpuEngine();
    dnnl::memory am(dnnl::memory::desc({m, k_}, dt::bf16, tag::ab), engine, abf.get());
    dnnl::memory cm(dnnl::memory::desc({m, n_}, dt::f32, tag::ab), engine, c);
    dnnl::memory pad(entry.first.scratchpad_desc(), engine);
    std::unordered_map<int, dnnl::memory> args{{DNNL_ARG_SRC, am},
                                               {DNNL_ARG_WEIGHTS, packed_->weights},
                                               {DNNL_ARG_DST, cm},
                                               {DNNL_ARG_SCRATCHPAD, pad}};
    if (!bias_.empty()) args.emplace(DNNL_ARG_BIAS, packed_->bias);
    dnnl::stream stream(engine);
    entry.second.execute(stream, args);
    stream.wait();
}

void gemmNT(int64_t m, int64_t n, int64_t k, float alpha, const float* a, int64_t lda, const float* b, int64_t ldb,
            float beta, float* c, int64_t ldc) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, blasint(m), blasint(n), blasint(k), alpha, a, blasint(lda), b,
                blasint(ldb), beta, c, blasint(ldc));
}

void gemmNN(int64_t m, int64_t n, int64_t k, const float* a, int64_t lda, const float* b, int64_t ldb, float beta,
            float* c, int64_t ldc) {
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, blasint(m), blasint(n), blasint(k), 1.0f, a, blasint(lda), b,
                blasint(ldb), beta, c, blasint(ldc));
}

}  // namespace platform::ml
