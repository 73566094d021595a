#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Platform/ML/Half.h"
#include "Platform/ML/MultiArray.h"

using namespace platform::ml;

TEST(Half, RoundsToNearestEvenAndEveryHalfRoundTrips) {
    const std::vector<std::pair<float, uint16_t>> edges = {
        {65504.0f, 0x7bff}, {65519.0f, 0x7bff}, {65520.0f, 0x7c00},  // halfway to the next binade: infinity
        {-INFINITY, 0xfc00}, {-0.0f, 0x8000}, {1.5f, 0x3e00},
        {std::ldexp(1.0f, -24), 0x0001},                                    // smallest subnormal
        {std::ldexp(1.0f, -25), 0x0000}, {std::ldexp(1.5f, -25), 0x0001},  // ties to even: zero
        {std::ldexp(3.0f, -25), 0x0002},                                    // 1.5 units ties to even 2
        {1.0f + std::ldexp(1.0f, -11), 0x3c00}, {1.0f + std::ldexp(3.0f, -11), 0x3c02}};
    for (const auto& [value, bits] : edges) EXPECT_EQ(Half(value).bits, bits) << value;
    EXPECT_TRUE(std::isnan(float(Half(NAN))));

    std::vector<uint16_t> all(65536), back(65536);
    for (uint32_t b = 0; b < 65536; ++b) all[b] = uint16_t(b);
    std::vector<float> widened(all.size());
    halfToFloat(all.data(), widened.data(), all.size());
    floatToHalf(widened.data(), back.data(), widened.size());
    for (uint32_t b = 0; b < 65536; ++b) {
        // The value by the definition of binary16.
        const int exp = (b >> 10) & 31, mant = b & 1023;
        const double sign = (b & 0x8000) ? -1.0 : 1.0;
        const double v = exp == 31 ? (mant ? NAN : sign * INFINITY) : sign * std::ldexp(exp ? 1024 + mant : mant, exp ? exp - 25 : -24);
        if (std::isnan(v)) {
            ASSERT_TRUE(std::isnan(widened[b]) && std::isnan(float(Half::fromBits(uint16_t(b)))));
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

TEST(MultiArray, ZeroedAlignedSharedOnCopyAndBadShapesRefused) {
    MultiArray a({2, 3, 4}, MultiArrayDataType::float16);
    EXPECT_EQ(a.strides(), (std::vector<int64_t>{12, 4, 1}));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a.data()) % 64, 0u);
    for (Half h : a.elements<Half>()) EXPECT_EQ(h.bits, 0);
    MultiArray shared = a, copy = a.clone();
    shared.elements<Half>()[5] = Half(2.0f);
    copy.elements<Half>()[5] = Half(3.0f);
    EXPECT_EQ(a.elements<Half>()[5].bits, Half(2.0f).bits);
    EXPECT_THROW((void)a.elements<float>(), MlError);
    for (const auto& shape : std::vector<std::vector<int64_t>>{{}, {3, 0}, {-1}, {int64_t(1) << 40, int64_t(1) << 40}})
        EXPECT_THROW(MultiArray(shape, MultiArrayDataType::int8), MlError) << shape.size();
}
