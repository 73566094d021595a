#include "Vocarion/Core/Text/TokenSampler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace vocarion {

GreedyTokenSampler::GreedyTokenSampler(int topK, uint64_t seed) : topK_(std::max(1, topK)), generator_(seed) {}

float GreedyTokenSampler::logSoftmaxAt(std::span<const float> logits, int token) {
    if (token < 0 || static_cast<size_t>(token) >= logits.size()) return -std::numeric_limits<float>::infinity();
    const float maxLogit = *std::max_element(logits.begin(), logits.end());
    if (!std::isfinite(maxLogit)) return -std::numeric_limits<float>::infinity();
    double sum = 0.0;
    for (float v : logits) sum += std::exp(static_cast<double>(v) - maxLogit);
    return static_cast<float>(static_cast<double>(logits[token]) - maxLogit - std::log(sum));
}

SampledToken GreedyTokenSampler::sample(std::span<const float> logits, float temperature) {
    if (logits.empty()) throw std::invalid_argument("no logits to sample from");
    int token = 0;
    if (!(temperature > 0.0f)) {
        token = static_cast<int>(std::max_element(logits.begin(), logits.end()) - logits.begin());
    } else {
        const size_t k = std::min(static_cast<size_t>(topK_), logits.size());
        std::vector<int> order(logits.size());
        std::iota(order.begin(), order.end(), 0);
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(),
                          [&](int a, int b) { return logits[a] > logits[b] || (logits[a] == logits[b] && a < b); });
        order.resize(k);
        const double top = logits[order.front()];
        std::vector<double> weights;
        weights.reserve(k);
        for (int candidate : order) {
            const double w = std::isfinite(logits[candidate]) ? std::exp((logits[candidate] - top) / temperature) : 0.0;
            weights.push_back(w);
        }
        if (!std::isfinite(top)) {
            token = order.front();
        } else {
            std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
            token = order[pick(generator_)];
        }
    }
    return {token, logSoftmaxAt(logits, token)};
}

}  // namespace vocarion
