#pragma once

#include <cstdint>
#include <random>
#include <span>

namespace vocarion {

struct SampledToken {
    int token = 0;
    // Log-probability of the token under the (filtered) distribution at temperature 1.
    float logProb = 0.0f;
};

// Picks the next token from the decoder's logits.
class TokenSampling {
public:
    virtual ~TokenSampling() = default;
    // logits: one value per vocabulary entry, already filtered (suppressed entries are -inf).
    virtual SampledToken sample(std::span<const float> logits, float temperature) = 0;
};

// Temperature 0: the most likely token. Above 0: a draw from the topK most likely tokens
// with probabilities softmax(logit / temperature). The generator is seeded, so a run is
// reproducible.
class GreedyTokenSampler : public TokenSampling {
public:
    explicit GreedyTokenSampler(int topK = 5, uint64_t seed = 0);

    SampledToken sample(std::span<const float> logits, float temperature) override;

    // log softmax(logits)[token], computed stably; -inf for a suppressed token.
    static float logSoftmaxAt(std::span<const float> logits, int token);

private:
    int topK_;
    std::mt19937_64 generator_;
};

}  // namespace vocarion
