#include "ScriptedDecoder.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

namespace darivir {

namespace {

// Direction k (k >= 1) of the Helmert basis: orthonormal and zero-mean, so that a sum of
// them passes a LayerNorm unchanged but for its scale.
std::vector<float> direction(int64_t k, int64_t d) {
    std::vector<float> u(size_t(d), 0.0f);
    const double norm = std::sqrt(double(k) * double(k + 1));
    for (int64_t i = 0; i < k; ++i) u[size_t(i)] = float(1.0 / norm);
    u[size_t(k)] = float(-double(k) / norm);
    return u;
}

double gelu(double x) { return 0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0))); }

}  // namespace

void scriptDecoder(TensorMap& t, const Hyperparameters& h, const Script& s, const std::string& dtype) {
    const int64_t d = h.dModel, ffn = h.decoderFfn, vocab = h.vocabSize;
    if (s.text.empty()) throw std::runtime_error("the script has no text");
    if (std::set<int64_t>(s.text.begin(), s.text.end()).size() != s.text.size())
        throw std::runtime_error("the text repeats a token; a scripted decoder needs every token of the text once");

    // Outputs per fed token: token -> logit.
    std::map<int64_t, std::map<int64_t, double>> outputs;
    const double c = s.confidence;
    for (int64_t start : s.textStarts) outputs[start][s.text.front()] = c;
    // With timestamps the first token must be one: "<|0.00|>", which the text then follows.
    if (s.firstTimestamp >= 0)
        for (int64_t start : s.textStarts)
            if (start != s.firstTimestamp) outputs[start][s.firstTimestamp] = c / 2;
    for (size_t i = 0; i + 1 < s.text.size(); ++i) outputs[s.text[i]][s.text[i + 1]] = c;
    outputs[s.text.back()][s.loop ? s.text.front() : s.endOfText] = c;
    auto& first = outputs[s.startOfTranscript];
    first[s.language] = c;
    if (s.english != s.language) first[s.english] = c / 2;
    // "No speech" gets the logit that gives it the chosen probability against the rest
    // (every token without a logit of its own counts e^0).
    double rest = 0.0;
    for (const auto& [token, logit] : first) rest += std::exp(logit - c);
    rest = c + std::log(rest + double(vocab - int64_t(first.size()) - 1) * std::exp(-c));
    const double p = std::clamp(s.noSpeechProbability, 0.0, 1.0 - 1e-9);
    first[s.noSpeech] = p > 0.0 ? std::log(p / (1.0 - p)) + rest : -c;

    // Each token that is fed or scored gets a direction; direction 1 is the ballast that
    // gives every output the same length.
    std::map<int64_t, int64_t> dirOf;
    int64_t next = 2;
    for (const auto& [source, logits] : outputs) {
        if (!dirOf.count(source)) dirOf[source] = next++;
        for (const auto& entry : logits)
            if (!dirOf.count(entry.first)) dirOf[entry.first] = next++;
    }
    if (next > d) throw std::runtime_error("the width " + std::to_string(d) + " is too small for " +
                                           std::to_string(next - 2) + " scripted tokens");
    if (int64_t(outputs.size()) > ffn) throw std::runtime_error("the decoder's MLP is too small for the script");

    double radius = 0.0;
    for (const auto& [source, logits] : outputs) {
        double sum = 0.0;
        for (const auto& entry : logits) sum += entry.second * entry.second;
        radius = std::max(radius, std::sqrt(sum));
    }
    radius = radius * 1.01 + 1.0;

    const double n = 4.0;      // length of an embedding row
    const double m = 100.0;    // the lookup's output over the embedding: the fed token's own logit is n/m
    const double g = 20.0;     // the lookup's gate: a match gives g/2, the others -g/2
    std::vector<float> embed(size_t(vocab * d), 0.0f);
    for (const auto& [token, k] : dirOf) {
        if (token < 0 || token >= vocab) throw std::runtime_error("a scripted token is outside the vocabulary");
        const auto u = direction(k, d);
        for (int64_t i = 0; i < d; ++i) embed[size_t(token * d + i)] = float(n * u[size_t(i)]);
    }
    std::vector<float> fc1(size_t(ffn * d), 0.0f), fc1Bias(size_t(ffn), float(-g / 2)), fc2(size_t(d * ffn), 0.0f);
    const double gain = m / gelu(g / 2);
    int64_t row = 0;
    for (const auto& [source, logits] : outputs) {
        const auto u = direction(dirOf[source], d);
        for (int64_t i = 0; i < d; ++i) fc1[size_t(row * d + i)] = float(u[size_t(i)] * g / std::sqrt(double(d)));
        std::vector<double> w(size_t(d), 0.0);
        double sum = 0.0;
        for (const auto& [token, logit] : logits) {
            const auto v = direction(dirOf[token], d);
            for (int64_t i = 0; i < d; ++i) w[size_t(i)] += logit * v[size_t(i)];
            sum += logit * logit;
        }
        const auto ballast = direction(1, d);
        const double b = std::sqrt(std::max(0.0, radius * radius - sum));
        for (int64_t i = 0; i < d; ++i) fc2[size_t(i * ffn + row)] = float(gain * (w[size_t(i)] + b * ballast[size_t(i)]));
        ++row;
    }

    auto put = [&](const std::string& name, const std::vector<float>& v, std::vector<int64_t> shape, const std::string& type) {
        t[name] = floatTensor(v, std::move(shape), type);
    };
    auto filled = [](int64_t count, float value) { return std::vector<float>(size_t(count), value); };
    put("decoder.embed_tokens.weight", embed, {vocab, d}, dtype);
    put("decoder.embed_positions.weight", filled(h.maxTargetPositions * d, 0.0f), {h.maxTargetPositions, d}, "F32");
    for (int64_t l = 0; l < h.decoderLayers; ++l) {
        const std::string p = "decoder.layers." + std::to_string(l) + ".";
        for (const char* attention : {"self_attn", "encoder_attn"}) {
            put(p + attention + ".out_proj.weight", filled(d * d, 0.0f), {d, d}, dtype);
            put(p + attention + ".out_proj.bias", filled(d, 0.0f), {d}, "F32");
        }
        put(p + "final_layer_norm.weight", filled(d, 1.0f), {d}, "F32");
        put(p + "final_layer_norm.bias", filled(d, 0.0f), {d}, "F32");
        put(p + "fc1.weight", l == 0 ? fc1 : filled(ffn * d, 0.0f), {ffn, d}, dtype);
        put(p + "fc1.bias", l == 0 ? fc1Bias : filled(ffn, 0.0f), {ffn}, "F32");
        put(p + "fc2.weight", l == 0 ? fc2 : filled(d * ffn, 0.0f), {d, ffn}, dtype);
        put(p + "fc2.bias", filled(d, 0.0f), {d}, "F32");
    }
    // The final LayerNorm maps the lookup's output (length sqrt(n^2 + m^2 radius^2)) so that
    // each logit is exactly the scripted value.
    const double length = std::sqrt(n * n + m * m * radius * radius);
    put("decoder.layer_norm.weight", filled(d, float(length / (std::sqrt(double(d)) * n * m))), {d}, "F32");
    put("decoder.layer_norm.bias", filled(d, 0.0f), {d}, "F32");
}

}  // namespace darivir
