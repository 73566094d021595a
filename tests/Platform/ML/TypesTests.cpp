#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "Platform/ML/Features.h"
#include "Platform/ML/Half.h"
#include "Platform/ML/MultiArray.h"

using namespace platform::ml;

namespace {

// The half value of `bits`, computed by the definition of binary16.
double halfValue(uint16_t bits) {
    const int exp = (bits >> 10) & 31, mant = bits & 1023;
    const double sign = (bits & 0x8000) ? -1.0 : 1.0;
    if (exp == 31) return mant ? std::numeric_limits<double>::quiet_NaN() : sign * INFINITY;
    if (exp == 0) return sign * std::ldexp(mant, -24);
    return sign * std::ldexp(1024 + mant, exp - 25);
}

}  // namespace

TEST(Half, EdgesRoundToNearestEven) {
    EXPECT_EQ(Half(65504.0f).bits, 0x7bffu);
    EXPECT_EQ(Half(65519.0f).bits, 0x7bffu);
    EXPECT_EQ(Half(65520.0f).bits, 0x7c00u);  // halfway to the next binade rounds up to infinity
    EXPECT_EQ(Half(-INFINITY).bits, 0xfc00u);
    EXPECT_TRUE(std::isnan(float(Half(NAN))));
    EXPECT_EQ(Half(std::ldexp(1.0f, -24)).bits, 0x0001u);  // smallest subnormal
    EXPECT_EQ(Half(std::ldexp(1.0f, -25)).bits, 0x0000u);  // ties to even: zero
    EXPECT_EQ(Half(std::ldexp(1.5f, -25)).bits, 0x0001u);
    EXPECT_EQ(Half(std::ldexp(3.0f, -25)).bits, 0x0002u);  // 1.5 units ties to even 2
    EXPECT_EQ(Half(1.0f + std::ldexp(1.0f, -11)).bits, 0x3c00u);  // tie to even below
    EXPECT_EQ(Half(1.0f + std::ldexp(3.0f, -11)).bits, 0x3c02u);  // tie to even above
    EXPECT_EQ(Half(-0.0f).bits, 0x8000u);
    EXPECT_FLOAT_EQ(float(Half(1.5f)), 1.5f);
}

TEST(Half, EveryHalfRoundTripsAndBulkConversionAgrees) {
    std::vector<uint16_t> all(65536);
    for (uint32_t b = 0; b < 65536; ++b) all[b] = uint16_t(b);
    std::vector<float> widened(all.size());
    halfToFloat(all.data(), widened.data(), all.size());
    std::vector<uint16_t> back(all.size());
    floatToHalf(widened.data(), back.data(), widened.size());
    for (uint32_t b = 0; b < 65536; ++b) {
        const double v = halfValue(uint16_t(b));
        if (std::isnan(v)) {
            ASSERT_TRUE(std::isnan(widened[b]));
            ASSERT_TRUE(std::isnan(float(Half::fromBits(uint16_t(b)))));
            continue;
        }
        ASSERT_EQ(double(widened[b]), v) << b;
        ASSERT_EQ(double(float(Half::fromBits(uint16_t(b)))), v) << b;
        ASSERT_EQ(back[b], b);
        ASSERT_EQ(Half(widened[b]).bits, b);
    }
    // Bulk and scalar rounding agree on values between halves.
    std::vector<float> between;
    for (int i = 0; i < 4000; ++i) between.push_back(std::ldexp(float(i) + 0.5f, -14 - i % 20) * (i % 2 ? 1.0f : -1.0f));
    std::vector<uint16_t> bulk(between.size());
    floatToHalf(between.data(), bulk.data(), between.size());
    for (size_t i = 0; i < between.size(); ++i) ASSERT_EQ(bulk[i], Half(between[i]).bits) << between[i];
}

TEST(MultiArray, ShapeStridesZeroingAndSharing) {
    MultiArray a({2, 3, 4}, MultiArrayDataType::float16);
    EXPECT_EQ(a.strides(), (std::vector<int64_t>{12, 4, 1}));
    EXPECT_EQ(a.count(), 24);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a.data()) % 64, 0u);
    for (Half h : a.elements<Half>()) EXPECT_EQ(h.bits, 0);
    MultiArray shared = a;
    shared.elements<Half>()[5] = Half(2.0f);
    EXPECT_EQ(a.elements<Half>()[5].bits, Half(2.0f).bits);
    MultiArray copy = a.clone();
    copy.elements<Half>()[5] = Half(3.0f);
    EXPECT_EQ(a.elements<Half>()[5].bits, Half(2.0f).bits);
    EXPECT_THROW((void)a.elements<float>(), MlError);
    EXPECT_EQ(int32_t(MultiArrayDataType::float16), 65552);
    EXPECT_EQ(int32_t(MultiArrayDataType::int8), 131080);
}

TEST(MultiArray, RefusesBadShapes) {
    EXPECT_THROW(MultiArray({}, MultiArrayDataType::float32), MlError);
    EXPECT_THROW(MultiArray({3, 0}, MultiArrayDataType::float32), MlError);
    EXPECT_THROW(MultiArray({-1}, MultiArrayDataType::int32), MlError);
    EXPECT_THROW(MultiArray({int64_t(1) << 40, int64_t(1) << 40}, MultiArrayDataType::int8), MlError);
}

TEST(FeatureProvider, NamedValues) {
    FeatureProvider p;
    p.set("b", int64_t(3));
    p.set("a", MultiArray({1}, MultiArrayDataType::int32));
    p.set("b", 2.5);
    EXPECT_EQ(p.featureNames(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(featureTypeOf(*p.featureValue("b")), FeatureType::double_);
    EXPECT_EQ(p.featureValue("c"), nullptr);
    EXPECT_NE(p.multiArray("a"), nullptr);
    EXPECT_EQ(p.multiArray("b"), nullptr);
}
