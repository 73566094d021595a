#include "Vocarion/Core/Text/LogitsFilter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vocarion {

namespace {

constexpr float kNegativeInfinity = -std::numeric_limits<float>::infinity();

void suppress(std::span<float> logits, int token) {
    if (token >= 0 && static_cast<size_t>(token) < logits.size()) logits[static_cast<size_t>(token)] = kNegativeInfinity;
}

void suppressRange(std::span<float> logits, int begin, int end) {
    const size_t from = static_cast<size_t>(std::clamp<long>(begin, 0, static_cast<long>(logits.size())));
    const size_t to = static_cast<size_t>(std::clamp<long>(end, 0, static_cast<long>(logits.size())));
    for (size_t i = from; i < to; ++i) logits[i] = kNegativeInfinity;
}

}  // namespace

SuppressTokensFilter::SuppressTokensFilter(std::vector<int> suppressTokens) : suppressTokens_(std::move(suppressTokens)) {}

void SuppressTokensFilter::filterLogits(std::span<float> logits, const std::vector<int>&) const {
    for (int token : suppressTokens_) suppress(logits, token);
}

SuppressBlankFilter::SuppressBlankFilter(std::vector<int> blankTokens, int endToken, size_t sampleBegin)
    : blankTokens_(std::move(blankTokens)), endToken_(endToken), sampleBegin_(sampleBegin) {}

void SuppressBlankFilter::filterLogits(std::span<float> logits, const std::vector<int>& tokens) const {
    if (tokens.size() != sampleBegin_) return;
    for (int token : blankTokens_) suppress(logits, token);
    suppress(logits, endToken_);
}

SpecialTokensFilter::SpecialTokensFilter(int specialTokenBegin, int endToken, int timeTokenBegin, bool allowTimestamps)
    : specialTokenBegin_(specialTokenBegin), endToken_(endToken), timeTokenBegin_(timeTokenBegin),
      allowTimestamps_(allowTimestamps) {}

void SpecialTokensFilter::filterLogits(std::span<float> logits, const std::vector<int>&) const {
    const int size = static_cast<int>(logits.size());
    const int specialEnd = allowTimestamps_ ? std::min(timeTokenBegin_, size) : size;
    for (int token = specialTokenBegin_; token < specialEnd; ++token)
        if (token != endToken_) suppress(logits, token);
}

TimestampRulesFilter::TimestampRulesFilter(int endToken, int timeTokenBegin, size_t sampleBegin,
                                           std::optional<int> maxInitialTimestampIndex)
    : endToken_(endToken), timeTokenBegin_(timeTokenBegin), sampleBegin_(sampleBegin),
      maxInitialTimestampIndex_(maxInitialTimestampIndex) {}

void TimestampRulesFilter::filterLogits(std::span<float> logits, const std::vector<int>& tokens) const {
    const int size = static_cast<int>(logits.size());
    if (timeTokenBegin_ >= size) return;
    const size_t sampled = tokens.size() > sampleBegin_ ? tokens.size() - sampleBegin_ : 0;
    auto isTimestamp = [&](int token) { return token >= timeTokenBegin_; };

    if (sampled == 0) {
        // The first token is a timestamp, and not a late one.
        suppressRange(logits, 0, timeTokenBegin_);
        if (maxInitialTimestampIndex_) suppressRange(logits, timeTokenBegin_ + *maxInitialTimestampIndex_ + 1, size);
        return;
    }
    const bool lastWasTimestamp = isTimestamp(tokens.back());
    const bool penultimateWasTimestamp = sampled < 2 || isTimestamp(tokens[tokens.size() - 2]);
    if (lastWasTimestamp) {
        if (penultimateWasTimestamp) suppressRange(logits, timeTokenBegin_, size);  // a pair is closed: text next
        else suppressRange(logits, 0, endToken_);  // close the pair (or end) before more text
    }
    // Timestamps never go backwards.
    int lastTimestamp = -1;
    for (size_t i = sampleBegin_; i < tokens.size(); ++i)
        if (isTimestamp(tokens[i])) lastTimestamp = tokens[i];
    if (lastTimestamp >= 0) {
        const int from = lastWasTimestamp && !penultimateWasTimestamp ? lastTimestamp : lastTimestamp + 1;
        suppressRange(logits, timeTokenBegin_, from);
    }
}

}  // namespace vocarion
