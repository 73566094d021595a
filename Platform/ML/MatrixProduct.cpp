#include "Platform/ML/MatrixProduct.h"

#include <cpuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <vector>
#include <oneapi/dnnl/dnnl.hpp>

#include "Platform/ML/Half.h"
#include "Platform/ML/MlError.h"
#include "Platform/ML/PrecisionChoice.h"
#include "Platform/ML/ThreadTeam.h"

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

void toBf16Serial(const float* in, uint16_t* out, int64_t n) {
    static const bool native = __builtin_cpu_supports("avx512bf16");
    if (native) {
        toBf16Avx512(in, out, n);
    } else {
        for (int64_t i = 0; i < n; ++i) out[i] = toBf16(in[i]);
    }
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
    return automaticPrecision().precision;
}

namespace {

// Products run in tiles of the output whose size depends on nothing but constants, each
// tile one single-threaded library call: the libraries choose their blocking (and so the
// order of every sum) by the number of threads, so a product split by the team size would
// change its result with the machine's load.
constexpr int64_t kTileRows = 192, kTileCols = 256;

template <class Tile>
void forEachTile(int64_t m, int64_t n, const Tile& tile) {
    const int64_t rowTiles = (m + kTileRows - 1) / kTileRows, colTiles = (n + kTileCols - 1) / kTileCols;
    const int64_t count = rowTiles * colTiles;
    const int threads = int(std::clamp<int64_t>(count, 1, omp_get_max_threads()));
#pragma omp parallel num_threads(threads)
    {
        const SingleThreadedLibraries single;
#pragma omp for schedule(dynamic)
        for (int64_t t = 0; t < count; ++t) {
            const int64_t r0 = t / colTiles * kTileRows, c0 = t % colTiles * kTileCols;
            tile(r0, std::min(kTileRows, m - r0), c0, std::min(kTileCols, n - c0));
        }
    }
}

struct Matmul {
    dnnl::matmul::primitive_desc pd;
    dnnl::matmul primitive;
};

// Runs a primitive planned for one thread on the calling thread, with its scratchpad in a
// buffer that thread keeps from one tile to the next.
void execute(const Matmul& matmul, std::unordered_map<int, dnnl::memory> args) {
    thread_local std::vector<uint8_t> pad;
    const dnnl::memory::desc padDesc = matmul.pd.scratchpad_desc();
    if (pad.size() < padDesc.get_size()) pad.resize(padDesc.get_size());
    args.emplace(DNNL_ARG_SCRATCHPAD, dnnl::memory(padDesc, cpuEngine(), pad.data()));
    dnnl::stream stream(cpuEngine());
    matmul.primitive.execute(stream, args);
    stream.wait();
}

}  // namespace

// The oneDNN side of the bfloat16 path: the weights split into panels of kTileCols
// outputs, each reordered once into the layout the primitive wants, and one
// single-threaded primitive per tile shape (made on first use).
struct MatrixProduct::Packed {
    struct Panel {
        dnnl::memory weights;
        dnnl::memory bias;
    };
    std::vector<Panel> panels;
    std::map<int64_t, dnnl::memory::desc> weightsDescs;  // by panel width
    mutable std::mutex mutex;
    mutable std::map<std::pair<int64_t, int64_t>, Matmul> primitives;  // by tile rows and columns

    // A tile [rows x k] times a panel [k x cols] into rows of an output `ldc` wide.
    static Matmul make(int64_t rows, int64_t cols, int64_t k, int64_t ldc, bool withBias,
                       const dnnl::memory::desc* weightsDesc) {
        using dt = dnnl::memory::data_type;
        using tag = dnnl::memory::format_tag;
        const SingleThreadedLibraries single;  // planned for the one thread that runs it
        dnnl::memory::desc a({rows, k}, dt::bf16, tag::ab), c({rows, cols}, dt::f32, dnnl::memory::dims{ldc, 1});
        dnnl::memory::desc w = weightsDesc ? *weightsDesc : dnnl::memory::desc({k, cols}, dt::bf16, tag::any);
        dnnl::primitive_attr attr;
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        auto desc = withBias ? dnnl::matmul::desc(a, w, dnnl::memory::desc({1, cols}, dt::f32, tag::ab), c)
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
    const int64_t tileRows = std::clamp<int64_t>(rows, 1, kTileRows);
    const int64_t panelCount = (n + kTileCols - 1) / kTileCols;
    for (int64_t cols : {std::min(kTileCols, n), n % kTileCols}) {
        if (cols == 0 || packed_->weightsDescs.count(cols)) continue;
        auto made = Packed::make(tileRows, cols, k, n, !bias_.empty(), nullptr);
        packed_->weightsDescs.emplace(cols, made.pd.weights_desc());
        packed_->primitives.emplace(std::make_pair(tileRows, cols), std::move(made));
    }
    // The panels are packed in parallel, each by one thread with single-threaded library
    // calls: one parallel region per matrix, where a conversion and a reorder per panel,
    // each a region of its own, spent most of a load waiting at barriers on a busy machine.
    packed_->panels.resize(size_t(panelCount));
    std::exception_ptr failure;
#pragma omp parallel
    {
        const SingleThreadedLibraries single;
        std::vector<uint16_t> bf(size_t(std::min(n, kTileCols) * k));
#pragma omp for schedule(dynamic)
        for (int64_t p = 0; p < panelCount; ++p) {
            try {
                const int64_t c0 = p * kTileCols, cols = std::min(kTileCols, n - c0);
                // Our weights are [n x k] row-major: a panel of rows is the [k x cols] matrix in "ba".
                toBf16Serial(weights.data() + c0 * k, bf.data(), cols * k);
                dnnl::memory plain(dnnl::memory::desc({k, cols}, dt::bf16, tag::ba), cpuEngine(), bf.data());
                Packed::Panel panel{dnnl::memory(packed_->weightsDescs.at(cols), cpuEngine()), {}};
                dnnl::stream stream(cpuEngine());
                dnnl::reorder(plain, panel.weights).execute(stream, plain, panel.weights);
                stream.wait();
                if (!bias_.empty())
                    panel.bias = dnnl::memory(dnnl::memory::desc({1, cols}, dt::f32, tag::ab), cpuEngine(),
                                              bias_.data() + c0);
                packed_->panels[size_t(p)] = std::move(panel);
            } catch (...) {
#pragma omp critical(korvuMatrixPackFailure)
                if (!failure) failure = std::current_exception();
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
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
        // model is one panel. Panel widths are whole tiles, so the tiles of a product
        // do not depend on the panels.
        constexpr int64_t panelFloats = int64_t(1) << 23;
        const int64_t panel =
            n_ * k_ <= panelFloats ? n_ : std::max<int64_t>(kTileCols, panelFloats / k_ / kTileCols * kTileCols);
        if (int64_t(scratch.size()) < panel * k_) scratch.resize(size_t(panel * k_));
        for (int64_t p0 = 0; p0 < n_; p0 += panel) {
            const int64_t rows = std::min(panel, n_ - p0);
#pragma omp parallel for schedule(static)
            for (int64_t r = 0; r < rows; r += 16)
                halfToFloat(halfWeights_.data() + (p0 + r) * k_, scratch.data() + r * k_,
                            size_t(std::min<int64_t>(16, rows - r) * k_));
            gemmNT(m, rows, k_, 1.0f, a, k_, scratch.data(), k_, bias_.empty() ? 0.0f : 1.0f, c + p0, n_);
        }
        return;
    }
    using dt = dnnl::memory::data_type;
    using tag = dnnl::memory::format_tag;
    // The bfloat16 copy of A lives in the caller's scratch, so a product neither allocates
    // nor faults in fresh pages.
    const size_t halves = size_t(m * k_);
    if (scratch.size() * 2 < halves) scratch.resize((halves + 1) / 2);
    uint16_t* const abf = reinterpret_cast<uint16_t*>(scratch.data());
    toBf16(a, abf, m * k_);
    const auto& engine = cpuEngine();
    forEachTile(m, n_, [&](int64_t r0, int64_t rows, int64_t c0, int64_t cols) {
        const Matmul* matmul = nullptr;
        {
            std::scoped_lock lock(packed_->mutex);
            auto it = packed_->primitives.find({rows, cols});
            if (it == packed_->primitives.end())
                it = packed_->primitives
                         .emplace(std::make_pair(rows, cols), Packed::make(rows, cols, k_, n_, !bias_.empty(),
                                                                           &packed_->weightsDescs.at(cols)))
                         .first;
            matmul = &it->second;  // map nodes stay where they are
        }
        const auto& panel = packed_->panels[size_t(c0 / kTileCols)];
        dnnl::memory am(dnnl::memory::desc({rows, k_}, dt::bf16, tag::ab), engine, abf + r0 * k_);
        dnnl::memory cm(matmul->pd.dst_desc(), engine, c + r0 * n_ + c0);
        std::unordered_map<int, dnnl::memory> args{{DNNL_ARG_SRC, am}, {DNNL_ARG_WEIGHTS, panel.weights}, {DNNL_ARG_DST, cm}};
        if (!bias_.empty()) args.emplace(DNNL_ARG_BIAS, panel.bias);
        execute(*matmul, std::move(args));
    });
}

namespace {

// One float32 tile product on oneDNN: C = alpha A B (+ beta C), B given as [k x n] with
// the strides `bStrides`. The primitives of the tile shapes a thread met are kept by that
// thread (a handful: attention and the products repeat a few shapes).
void floatTile(int64_t rows, int64_t cols, int64_t k, float alpha, const float* a, int64_t lda, const float* b,
               dnnl::memory::dims bStrides, float beta, float* c, int64_t ldc) {
    using dt = dnnl::memory::data_type;
    using Key = std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t, int64_t, int64_t, float, float>;
    thread_local std::map<Key, Matmul> primitives;
    const Key key{rows, cols, k, lda, bStrides[0], bStrides[1], ldc, alpha, beta};
    auto it = primitives.find(key);
    if (it == primitives.end()) {
        if (primitives.size() >= 64) primitives.clear();
        dnnl::memory::desc ad({rows, k}, dt::f32, dnnl::memory::dims{lda, 1}), bd({k, cols}, dt::f32, bStrides),
            cd({rows, cols}, dt::f32, dnnl::memory::dims{ldc, 1});
        dnnl::primitive_attr attr;
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        if (alpha != 1.0f) attr.set_output_scales(0, {alpha});
        if (beta != 0.0f) {
            dnnl::post_ops ops;
            ops.append_sum(beta);
            attr.set_post_ops(ops);
        }
        dnnl::matmul::primitive_desc pd(dnnl::matmul::desc(ad, bd, cd), attr, cpuEngine());
        it = primitives.emplace(key, Matmul{pd, dnnl::matmul(pd)}).first;
    }
    const Matmul& matmul = it->second;
    const auto& engine = cpuEngine();
    execute(matmul, {{DNNL_ARG_SRC, dnnl::memory(matmul.pd.src_desc(), engine, const_cast<float*>(a))},
                     {DNNL_ARG_WEIGHTS, dnnl::memory(matmul.pd.weights_desc(), engine, const_cast<float*>(b))},
                     {DNNL_ARG_DST, dnnl::memory(matmul.pd.dst_desc(), engine, c)}});
}

}  // namespace

// oneDNN rather than the BLAS library: it picks its kernels by the processor's
// instruction sets, where the BLAS library picks them by the processor model and falls
// back to its slowest kernels (about 8 times slower) on a model it does not know.
void gemmNT(int64_t m, int64_t n, int64_t k, float alpha, const float* a, int64_t lda, const float* b, int64_t ldb,
            float beta, float* c, int64_t ldc) {
    forEachTile(m, n, [&](int64_t r0, int64_t rows, int64_t c0, int64_t cols) {
        floatTile(rows, cols, k, alpha, a + r0 * lda, lda, b + c0 * ldb, {1, ldb}, beta, c + r0 * ldc + c0, ldc);
    });
}

void gemmNN(int64_t m, int64_t n, int64_t k, const float* a, int64_t lda, const float* b, int64_t ldb, float beta,
            float* c, int64_t ldc) {
    forEachTile(m, n, [&](int64_t r0, int64_t rows, int64_t c0, int64_t cols) {
        floatTile(rows, cols, k, 1.0f, a + r0 * lda, lda, b + c0, {ldb, 1}, beta, c + r0 * ldc + c0, ldc);
    });
}

}  // namespace platform::ml
