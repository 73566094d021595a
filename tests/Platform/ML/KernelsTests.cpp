// The vectorised kernels on every instruction set this processor runs, against the
// standard library and naive loops.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "Platform/ML/Half.h"
#include "Platform/ML/HalfMatrix.h"
#include "Platform/ML/Kernels.h"
#include "Platform/ML/MatrixProduct.h"
#include "Platform/ML/MlError.h"

using namespace platform::ml;
using kernels::isa::Level;

namespace {

std::vector<float> ramp(float from, float to, size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = from + (to - from) * float(i) / float(n - 1);
    return v;
}

}  // namespace

TEST(Kernels, ExpAndGeluOnEveryInstructionSet) {
    for (Level level : {Level::plain, Level::avx2, Level::avx512}) {
        if (!kernels::isa::available(level)) continue;
        auto x = ramp(-100.0f, 88.0f, 1003);  // an odd length exercises the tails
        auto e = x;
        kernels::isa::expInPlace(level, e.data(), e.size());
        for (size_t i = 0; i < x.size(); ++i) {
            const double want = std::exp(double(x[i]));
            if (x[i] < -87.0f) EXPECT_LT(e[i], 1e-37f) << x[i];  // clamped: tiny, never negative or NaN
            else EXPECT_NEAR(e[i] / want, 1.0, 1e-6) << "level " << int(level) << " x " << x[i];
            EXPECT_GE(e[i], 0.0f);
        }
        auto g = ramp(-12.0f, 12.0f, 1001);
        auto y = g;
        kernels::isa::geluInPlace(level, y.data(), y.size());
        for (size_t i = 0; i < g.size(); ++i) {
            const double want = 0.5 * g[i] * (1.0 + std::erf(double(g[i]) / std::sqrt(2.0)));
            EXPECT_NEAR(y[i], want, 2e-6 * std::max(1.0, std::fabs(double(g[i])))) << "level " << int(level) << " x " << g[i];
        }
    }
}

TEST(Kernels, SoftmaxLayerNormAndDot) {
    std::vector<float> row = {1.0f, 2.0f, 3.0f, -1000.0f, 3.0f};
    row.resize(37, 0.5f);
    auto s = row;
    kernels::softmaxInPlace(s.data(), s.size());
    double denom = 0;
    for (float v : row) denom += std::exp(double(v) - 3.0);
    for (size_t i = 0; i < row.size(); ++i) EXPECT_NEAR(s[i], std::exp(double(row[i]) - 3.0) / denom, 1e-7);

    const auto x = ramp(-3.0f, 5.0f, 19);
    std::vector<float> w(19, 2.0f), b(19, 0.5f), y(19);
    kernels::layerNorm(x.data(), y.data(), 1, 19, w.data(), b.data());
    double mean = 0, var = 0;
    for (float v : x) mean += v;
    mean /= 19;
    for (float v : x) var += (v - mean) * (v - mean);
    var /= 19;
    for (size_t i = 0; i < 19; ++i) EXPECT_NEAR(y[i], (x[i] - mean) / std::sqrt(var + 1e-5) * 2.0 + 0.5, 1e-5);
    EXPECT_NEAR(kernels::dot(x.data(), x.data(), 19), [&] { double t = 0; for (float v : x) t += v * v; return t; }(), 1e-3);
}

TEST(Kernels, AttentionRowsOfEveryLength) {
    std::mt19937 random(5);
    std::normal_distribution<float> normal;
    for (size_t len : {16u, 64u, 128u, 24u, 144u}) {  // vectorised lengths and fallbacks
        const size_t count = 37, ld = len * 3 + 5;
        std::vector<float> q(len), rows(count * ld), weights(count), scores(count), sum(len);
        for (auto* v : {&q, &rows, &weights})
            for (auto& e : *v) e = normal(random);
        kernels::dotRows(q.data(), rows.data(), ld, count, len, 0.5f, scores.data());
        kernels::weightedSum(weights.data(), rows.data(), ld, count, len, sum.data());
        for (size_t j = 0; j < count; ++j) {
            double d = 0;
            for (size_t i = 0; i < len; ++i) d += double(q[i]) * rows[j * ld + i];
            EXPECT_NEAR(scores[j], 0.5 * d, 1e-4) << len;
        }
        for (size_t i = 0; i < len; ++i) {
            double w = 0;
            for (size_t j = 0; j < count; ++j) w += double(weights[j]) * rows[j * ld + i];
            EXPECT_NEAR(sum[i], w, 1e-4) << len;
        }
    }
}

TEST(Kernels, HalfMatrixBothPathsMatchANaiveProduct) {
    std::mt19937 random(3);
    std::normal_distribution<float> normal;
    const int64_t n = 37, k = 83;  // not multiples of the block or vector sizes
    std::vector<uint16_t> w(static_cast<size_t>(n * k));
    for (auto& h : w) h = floatToHalfBits(normal(random));
    std::vector<float> bias(static_cast<size_t>(n));
    for (auto& v : bias) v = normal(random);
    const HalfMatrix matrix(w, n, k, bias);
    for (int64_t m : {1, 3, 5, 70}) {
        std::vector<float> x(static_cast<size_t>(m * k));
        for (auto& v : x) v = normal(random);
        std::vector<float> best(static_cast<size_t>(m * n));
        matrix.multiply(x.data(), m, best.data());
        for (Level level : {Level::plain, Level::avx2, Level::avx512}) {
            if (!kernels::isa::available(level)) continue;
            std::vector<float> y(static_cast<size_t>(m * n));
            matrix.multiply(x.data(), m, y.data(), level);
            for (int64_t t = 0; t < m; ++t)
                for (int64_t o = 0; o < n; ++o) {
                    double want = bias[size_t(o)];
                    for (int64_t i = 0; i < k; ++i)
                        want += double(halfBitsToFloat(w[size_t(o * k + i)])) * x[size_t(t * k + i)];
                    EXPECT_NEAR(y[size_t(t * n + o)], want, 1e-4) << "m " << m << " level " << int(level);
                    EXPECT_NEAR(best[size_t(t * n + o)], want, 1e-4) << m;
                }
        }
    }
}

TEST(Kernels, MatrixProductInBothPrecisions) {
    std::mt19937 random(4);
    std::normal_distribution<float> normal;
    const int64_t n = 48, k = 96, rows = 20;
    std::vector<float> w(static_cast<size_t>(n * k)), bias(static_cast<size_t>(n)), a(static_cast<size_t>(rows * k));
    for (auto* v : {&w, &bias, &a})
        for (auto& e : *v) e = normal(random);
    std::vector<double> want(static_cast<size_t>(rows * n));
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t o = 0; o < n; ++o) {
            double s = bias[size_t(o)];
            // The float32 path keeps its weights in fp16: the reference rounds them too.
            for (int64_t i = 0; i < k; ++i)
                s += double(a[size_t(r * k + i)]) * halfBitsToFloat(floatToHalfBits(w[size_t(o * k + i)]));
            want[size_t(r * n + o)] = s;
        }
    std::vector<MatrixPrecision> precisions = {MatrixPrecision::float32};
    if (bfloat16Available()) precisions.push_back(MatrixPrecision::bfloat16);
    for (MatrixPrecision p : precisions) {
        const MatrixProduct product(w, n, k, bias, p, rows);
        EXPECT_EQ(product.precision(), p);
        for (int64_t m : {rows, int64_t(3)}) {  // the packed row count and another
            std::vector<float> c(static_cast<size_t>(m * n));
            product.multiply(a.data(), m, c.data());
            // bfloat16 inputs carry 8 bits: about 0.4% of each term, sqrt(k) terms.
            const double tolerance = p == MatrixPrecision::float32 ? 1e-4 : 0.15;
            for (int64_t i = 0; i < m * n; ++i) EXPECT_NEAR(c[size_t(i)], want[size_t(i)], tolerance);
        }
    }
    EXPECT_THROW(MatrixProduct(w, n + 1, k, bias, MatrixPrecision::float32, rows), MlError);
}
