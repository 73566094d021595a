#include <gtest/gtest.h>

#include "Vocarion/Core/DecodingFallback.h"

using namespace vocarion;

namespace {
// The thresholds the application decodes with.
const DecodingThresholds kApp{2.4f, -1.0f, -1.5f, 0.6f};
DecodingQuality good() { return {1.2f, -0.3f, -0.2f, 0.01f}; }
}  // namespace


TEST(DecodingFallback, EachThresholdAloneTriggersARetry) {
    auto q = good();
    q.compressionRatio = 2.41f;
    EXPECT_EQ(DecodingFallback::fallbackReason(q, kApp), "compressionRatio");
    q = good();
    q.avgLogProb = -1.01f;
    EXPECT_EQ(DecodingFallback::fallbackReason(q, kApp), "logProb");
    q = good();
    q.firstTokenLogProb = -1.6f;
    EXPECT_EQ(DecodingFallback::fallbackReason(q, kApp), "firstTokenLogProb");
    // Exactly at a threshold is still good.
    q = good();
    q.compressionRatio = 2.4f;
    q.avgLogProb = -1.0f;
    q.firstTokenLogProb = -1.5f;
    EXPECT_FALSE(DecodingFallback::fallbackReason(q, kApp));
    // Unset thresholds never trigger.
    q = {100.0f, -50.0f, -50.0f, 0.0f};
    EXPECT_FALSE(DecodingFallback::fallbackReason(q, DecodingThresholds{}));
}

