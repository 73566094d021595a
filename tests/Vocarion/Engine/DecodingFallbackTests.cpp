#include <gtest/gtest.h>

#include "Vocarion/Core/DecodingFallback.h"

using namespace vocarion;

namespace {
// The thresholds the application decodes with.
const DecodingThresholds kApp{2.4f, -1.0f, -1.5f, 0.6f};
DecodingQuality good() { return {1.2f, -0.3f, -0.2f, 0.01f}; }
}  // namespace

TEST(DecodingFallback, GoodResultNeedsNoRetry) {
    EXPECT_FALSE(DecodingFallback::fallbackReason(good(), kApp));
    EXPECT_FALSE(DecodingFallback::isSilence(good(), kApp));
}

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

TEST(DecodingFallback, NoSpeechWithUnlikelyTextIsSilenceAndNotRetried) {
    DecodingQuality q{1.0f, -1.2f, -2.0f, 0.7f};
    EXPECT_FALSE(DecodingFallback::fallbackReason(q, kApp));
    EXPECT_TRUE(DecodingFallback::isSilence(q, kApp));
    // Confident text keeps the window even when "no speech" looks likely.
    q.avgLogProb = -0.5f;
    EXPECT_FALSE(DecodingFallback::isSilence(q, kApp));
    // Below the no-speech threshold it is never silence, however poor the text.
    q = {1.0f, -3.0f, -3.0f, 0.6f};
    EXPECT_FALSE(DecodingFallback::isSilence(q, kApp));
    EXPECT_EQ(DecodingFallback::fallbackReason(q, kApp), "logProb");
}
