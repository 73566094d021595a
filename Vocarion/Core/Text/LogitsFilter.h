#pragma once

#include <optional>
#include <span>
#include <vector>

namespace vocarion {

// Changes the decoder's logits before a token is sampled, typically setting entries that
// must not be sampled to -inf.
class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;
    // tokens: every token of the window so far, initial tokens included.
    virtual void filterLogits(std::span<float> logits, const std::vector<int>& tokens) const = 0;
};

// Suppresses a fixed set of tokens at every step.
class SuppressTokensFilter : public LogitsFiltering {
public:
    explicit SuppressTokensFilter(std::vector<int> suppressTokens);
    void filterLogits(std::span<float> logits, const std::vector<int>& tokens) const override;

private:
    std::vector<int> suppressTokens_;
};

// At the first sampled step, suppresses the blank and end of text, so a window never
// begins with an empty transcription.
class SuppressBlankFilter : public LogitsFiltering {
public:
    SuppressBlankFilter(std::vector<int> blankTokens, int endToken, size_t sampleBegin);
    void filterLogits(std::span<float> logits, const std::vector<int>& tokens) const override;

private:
    std::vector<int> blankTokens_;
    int endToken_;
    size_t sampleBegin_;
};

// The structural rule: no special token may be sampled except end of text, and the
// timestamp tokens when timestamps are wanted.
class SpecialTokensFilter : public LogitsFiltering {
public:
    // Ids from specialTokenBegin upward are special; timestamps are [timeTokenBegin, end).
    SpecialTokensFilter(int specialTokenBegin, int endToken, int timeTokenBegin, bool allowTimestamps);
    void filterLogits(std::span<float> logits, const std::vector<int>& tokens) const override;

private:
    int specialTokenBegin_;
    int endToken_;
    int timeTokenBegin_;
    bool allowTimestamps_;
};

// With timestamps: the first sampled token is a timestamp no later than the maximum
// initial timestamp, timestamps never go backwards, and they come in pairs (after a
// closing pair only text may follow, after a lone timestamp another timestamp or the end).
class TimestampRulesFilter : public LogitsFiltering {
public:
    TimestampRulesFilter(int endToken, int timeTokenBegin, size_t sampleBegin,
                         std::optional<int> maxInitialTimestampIndex);
    void filterLogits(std::span<float> logits, const std::vector<int>& tokens) const override;

private:
    int endToken_;
    int timeTokenBegin_;
    size_t sampleBegin_;
    std::optional<int> maxInitialTimestampIndex_;
};

}  // namespace vocarion
