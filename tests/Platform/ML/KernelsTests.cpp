// The vectorised kernels on every instruction set this processor runs, against the
// standard library and naive loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "Platform/ML/Half.h"
#include "Platform/ML/HalfMatrix.h"
#include "Platform/ML/Kernels.h"
#include "Platform/ML/MatrixProduct.h"
#include "Platform/ML/MlError.h"

using namespace platform::ml;
using kernels::isa::Level;

namespace {

std::vector<Level> levels() {
    std::vector<Level> out;
    for (Level level : {Level::plain, Level::avx2, Level::avx512})
        if (kernels::isa::available(level)) out.push_back(level);
    return out;
}

std::vector<float> normals(size_t n, std::mt19937& random) {
    std::normal_distribution<float> normal;
    std::vector<float> v(n);
    for (auto& e : v) e = normal(random);
    return v;
}

}  // namespace

// Odd lengths exercise the tails; NaN and infinity (odd weights) sit in the vector part
// and in the scalar tail.
TEST(Kernels, ExpAndGeluOnEveryInstructionSetIncludingNanAndInfinity) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (Level level : levels()) {
        SCOPED_TRACE(int(level));
        std::vector<float> x(1003), g(1001);
        for (size_t i = 0; i < x.size(); ++i) x[i] = -100.0f + 188.0f * float(i) / 1002.0f;
        for (size_t i = 0; i < g.size(); ++i) g[i] = -12.0f + 24.0f * float(i) / 1000.0f;
        x[0] = g[0] = nan, x[1] = g[1] = inf, x[2] = -inf, x[1002] = g[1000] = nan;
        auto e = x, y = g;
        kernels::isa::expInPlace(level, e.data(), e.size());
        kernels::isa::geluInPlace(level, y.data(), y.size());
        for (size_t i = 0; i < x.size(); ++i) {
            if (std::isnan(x[i])) EXPECT_TRUE(std::isnan(e[i]));
            else if (x[i] > 88.0f) EXPECT_GT(e[i], 1e38f);
            else if (x[i] < -87.0f) EXPECT_TRUE(e[i] >= 0.0f && e[i] < 1e-37f) << x[i];  // clamped, never negative
            else EXPECT_NEAR(e[i] / std::exp(double(x[i])), 1.0, 1e-6) << x[i];
        }
        for (size_t i = 0; i < g.size(); ++i) {
            if (std::isnan(g[i])) EXPECT_TRUE(std::isnan(y[i]));
            else if (std::isinf(g[i])) EXPECT_EQ(y[i], inf);
            else EXPECT_NEAR(y[i], 0.5 * g[i] * (1.0 + std::erf(double(g[i]) / std::sqrt(2.0))), 2e-6 * std::max(1.0f, std::fabs(g[i]))) << g[i];
        }
    }
}

// The simple loops on every instruction set against plain loops in double, at every length
// from 1 to 37 (each tail of 8 and of 16 lanes, after no full vector and after one) and at a
// long one. Each row gives back what its kernel computed and what the plain loop computes;
// layerNorm writes its two rows over NaN, which an element it skips keeps.
TEST(Kernels, SimpleLoopsOnEveryInstructionSetMatchPlainLoopsAtEveryTail) {
    using Results = std::pair<std::vector<float>, std::vector<double>>;
    using Kernel = Results (*)(Level, std::vector<float> x, std::vector<float> y);
    const std::pair<const char*, Kernel> table[] = {
        {"scaleInPlace", [](Level level, std::vector<float> x, std::vector<float>) -> Results {
             std::vector<double> want(x.begin(), x.end());
             for (auto& w : want) w *= 0.75;
             kernels::isa::scaleInPlace(level, x.data(), x.size(), 0.75f);
             return {x, want};
         }},
        {"addInPlace", [](Level level, std::vector<float> x, std::vector<float> y) -> Results {
             std::vector<double> want;
             for (size_t i = 0; i < x.size(); ++i) want.push_back(double(y[i]) + x[i]);
             kernels::isa::addInPlace(level, y.data(), x.data(), x.size());
             return {y, want};
         }},
        {"axpy", [](Level level, std::vector<float> x, std::vector<float> y) -> Results {
             std::vector<double> want;
             for (size_t i = 0; i < x.size(); ++i) want.push_back(y[i] + 0.75 * x[i]);
             kernels::isa::axpy(level, y.data(), x.data(), 0.75f, x.size());
             return {y, want};
         }},
        {"dot", [](Level level, std::vector<float> x, std::vector<float> y) -> Results {
             double want = 0.0;
             for (size_t i = 0; i < x.size(); ++i) want += double(x[i]) * y[i];
             return {{kernels::isa::dot(level, x.data(), y.data(), x.size())}, {want}};
         }},
        {"maximum", [](Level level, std::vector<float> x, std::vector<float>) -> Results {
             return {{kernels::isa::maximum(level, x.data(), x.size())}, {*std::max_element(x.begin(), x.end())}};
         }},
        {"expShiftedSum", [](Level level, std::vector<float> x, std::vector<float>) -> Results {
             std::vector<double> want;
             double sum = 0.0;
             for (float v : x) sum += want.emplace_back(std::exp(double(v) - 1.5));
             x.push_back(kernels::isa::expShiftedSum(level, x.data(), x.size(), 1.5f));
             want.push_back(sum);
             return {x, want};
         }},
        {"layerNorm", [](Level level, std::vector<float> x, std::vector<float> y) -> Results {
             const size_t width = x.size();
             std::vector<float> rows = x, out(2 * width, std::numeric_limits<float>::quiet_NaN());
             rows.insert(rows.end(), y.begin(), y.end());
             std::vector<double> want;
             for (const float* row : {x.data(), y.data()}) {
                 double mean = 0.0, variance = 0.0;
                 for (size_t i = 0; i < width; ++i) mean += row[i] / double(width);
                 for (size_t i = 0; i < width; ++i) variance += (row[i] - mean) * (row[i] - mean) / double(width);
                 for (size_t i = 0; i < width; ++i) want.push_back((row[i] - mean) / std::sqrt(variance + 1e-5) * y[i] + x[i]);
             }
             kernels::isa::layerNorm(level, rows.data(), out.data(), 2, width, y.data(), x.data());
             return {out, want};
         }},
    };
    std::vector<size_t> lengths(37);
    std::iota(lengths.begin(), lengths.end(), 1);
    lengths.push_back(1003);
    std::mt19937 random(11);
    for (size_t n : lengths) {
        const auto x = normals(n, random), y = normals(n, random);
        for (const auto& [name, kernel] : table)
            for (Level level : levels()) {
                const auto [got, want] = kernel(level, x, y);
                for (size_t i = 0; i < want.size(); ++i)
                    ASSERT_NEAR(got[i], want[i], 1e-5 * std::max(1.0, std::fabs(want[i])))
                        << name << ", level " << int(level) << ", length " << n << ", at " << i;
            }
    }
}

TEST(Kernels, AttentionRowsOfEveryLength) {
    std::mt19937 random(5);
    for (size_t len : {16u, 64u, 128u, 24u, 144u}) {  // vectorised lengths and fallbacks
        const size_t count = 37, ld = len * 3 + 5;
        const auto q = normals(len, random), rows = normals(count * ld, random), weights = normals(count, random);
        std::vector<float> scores(count), sum(len);
        kernels::dotRows(q.data(), rows.data(), ld, count, len, 0.5f, scores.data());
        kernels::weightedSum(weights.data(), rows.data(), ld, count, len, sum.data());
        std::vector<double> wantScores(count), wantSum(len);
        for (size_t j = 0; j < count; ++j)
            for (size_t i = 0; i < len; ++i) wantScores[j] += 0.5 * q[i] * rows[j * ld + i], wantSum[i] += double(weights[j]) * rows[j * ld + i];
        for (size_t j = 0; j < count; ++j) EXPECT_NEAR(scores[j], wantScores[j], 1e-4) << len;
        for (size_t i = 0; i < len; ++i) EXPECT_NEAR(sum[i], wantSum[i], 1e-4) << len;
    }
}

// The float32 product keeps its weights in fp16, as the half matrix does: the reference
// rounds them too. Sizes are not multiples of the block or vector sizes.
TEST(Kernels, MatrixProductsOnEveryInstructionSetAndPrecisionMatchANaiveProduct) {
    std::mt19937 random(3);
    const int64_t n = 37, k = 83, packedRows = 20;
    const auto w = normals(size_t(n * k), random), bias = normals(size_t(n), random);
    std::vector<uint16_t> halves;
    for (float v : w) halves.push_back(floatToHalfBits(v));
    const HalfMatrix half(halves, n, k, bias);
    std::vector<MatrixPrecision> precisions = {MatrixPrecision::float32};
    if (bfloat16Available()) precisions.push_back(MatrixPrecision::bfloat16);
    for (int64_t m : {int64_t(1), int64_t(3), packedRows, int64_t(70)}) {
        const auto x = normals(size_t(m * k), random);
        std::vector<double> want(size_t(m * n));
        for (int64_t t = 0; t < m; ++t)
            for (int64_t o = 0; o < n; ++o) {
                want[size_t(t * n + o)] = bias[size_t(o)];
                for (int64_t i = 0; i < k; ++i) want[size_t(t * n + o)] += double(halfBitsToFloat(halves[size_t(o * k + i)])) * x[size_t(t * k + i)];
            }
        auto check = [&](const std::vector<float>& y, double tolerance, const std::string& what) {
            for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(y[i], want[i], tolerance) << what << " m " << m << " at " << i;
        };
        std::vector<float> y(size_t(m * n));
        half.multiply(x.data(), m, y.data());
        check(y, 1e-4, "half, best");
        for (Level level : levels()) {
            half.multiply(x.data(), m, y.data(), level);
            check(y, 1e-4, "half, level " + std::to_string(int(level)));
        }
        for (MatrixPrecision p : precisions) {
            const MatrixProduct product(w, n, k, bias, p, packedRows);
            EXPECT_EQ(product.precision(), p);
            product.multiply(x.data(), m, y.data());
            // bfloat16 inputs carry 8 bits: about 0.4% of each term, sqrt(k) terms.
            check(y, p == MatrixPrecision::float32 ? 1e-4 : 0.15, "product " + std::to_string(int(p)));
        }
    }
    EXPECT_THROW(MatrixProduct(w, n + 1, k, bias, MatrixPrecision::float32, packedRows), MlError);
}
