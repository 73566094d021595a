#include "Reference.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace reference {

namespace {

float fromHalf(uint16_t h) {
    const int sign = (h >> 15) & 1, exp = (h >> 10) & 31, mant = h & 1023;
    double v;
    if (exp == 0) v = std::ldexp(double(mant), -24);
    else if (exp == 31) v = mant ? NAN : INFINITY;
    else v = std::ldexp(double(mant + 1024), exp - 25);
    return float(sign ? -v : v);
}

const Tensor& get(const std::map<std::string, Tensor>& w, const std::string& name) {
    auto it = w.find(name);
    if (it == w.end()) throw std::runtime_error("reference: no tensor " + name);
    return it->second;
}

const float* p(const std::map<std::string, Tensor>& w, const std::string& name) { return get(w, name).values.data(); }

using Matrix = std::vector<float>;

// y[rows x n] = x[rows x k] W^T + b
Matrix linear(const Matrix& x, int64_t rows, int64_t k, const float* W, const float* b, int64_t n) {
    Matrix y(size_t(rows * n));
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t o = 0; o < n; ++o) {
            double s = b ? b[o] : 0.0;
            for (int64_t i = 0; i < k; ++i) s += double(x[size_t(r * k + i)]) * W[o * k + i];
            y[size_t(r * n + o)] = float(s);
        }
    return y;
}

Matrix layerNorm(const Matrix& x, int64_t rows, int64_t d, const float* w, const float* b) {
    Matrix y(x.size());
    for (int64_t r = 0; r < rows; ++r) {
        double mean = 0, var = 0;
        for (int64_t i = 0; i < d; ++i) mean += x[size_t(r * d + i)];
        mean /= double(d);
        for (int64_t i = 0; i < d; ++i) var += (x[size_t(r * d + i)] - mean) * (x[size_t(r * d + i)] - mean);
        var /= double(d);
        for (int64_t i = 0; i < d; ++i)
            y[size_t(r * d + i)] = float((x[size_t(r * d + i)] - mean) / std::sqrt(var + 1e-5) * w[i] + b[i]);
    }
    return y;
}

float gelu(float x) { return float(0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0)))); }

// Multi-head attention of q [nq x d] over k, v [nk x d]; `causalOffset` >= 0 lets query
// i see keys 0..causalOffset+i only.
Matrix attend(const Matrix& q, int64_t nq, const Matrix& k, const Matrix& v, int64_t nk, int64_t d, int64_t heads,
              int64_t causalOffset) {
    const int64_t dh = d / heads;
    Matrix out(size_t(nq * d));
    for (int64_t h = 0; h < heads; ++h)
        for (int64_t i = 0; i < nq; ++i) {
            const int64_t visible = causalOffset >= 0 ? causalOffset + i + 1 : nk;
            std::vector<double> s(static_cast<size_t>(visible));
            double m = -1e300;
            for (int64_t j = 0; j < visible; ++j) {
                double dot = 0;
                for (int64_t c = 0; c < dh; ++c) dot += double(q[size_t(i * d + h * dh + c)]) * k[size_t(j * d + h * dh + c)];
                s[size_t(j)] = dot / std::sqrt(double(dh));
                m = std::max(m, s[size_t(j)]);
            }
            double sum = 0;
            for (auto& e : s) sum += (e = std::exp(e - m));
            for (int64_t c = 0; c < dh; ++c) {
                double o = 0;
                for (int64_t j = 0; j < visible; ++j) o += s[size_t(j)] / sum * v[size_t(j * d + h * dh + c)];
                out[size_t(i * d + h * dh + c)] = float(o);
            }
        }
    return out;
}

void addTo(Matrix& x, const Matrix& y) {
    for (size_t i = 0; i < x.size(); ++i) x[i] += y[i];
}

Matrix selfAttentionBlock(const std::map<std::string, Tensor>& w, const std::string& a, const Matrix& x, int64_t n,
                          int64_t d, int64_t heads, bool causal) {
    const Matrix h = layerNorm(x, n, d, p(w, a + "_layer_norm.weight"), p(w, a + "_layer_norm.bias"));
    const Matrix q = linear(h, n, d, p(w, a + ".q_proj.weight"), p(w, a + ".q_proj.bias"), d);
    const Matrix k = linear(h, n, d, p(w, a + ".k_proj.weight"), nullptr, d);
    const Matrix v = linear(h, n, d, p(w, a + ".v_proj.weight"), p(w, a + ".v_proj.bias"), d);
    const Matrix o = attend(q, n, k, v, n, d, heads, causal ? 0 : -1);
    return linear(o, n, d, p(w, a + ".out_proj.weight"), p(w, a + ".out_proj.bias"), d);
}

Matrix mlpBlock(const std::map<std::string, Tensor>& w, const std::string& pre, const Matrix& x, int64_t n, int64_t d,
                int64_t ffn) {
    const Matrix h = layerNorm(x, n, d, p(w, pre + "final_layer_norm.weight"), p(w, pre + "final_layer_norm.bias"));
    Matrix f = linear(h, n, d, p(w, pre + "fc1.weight"), p(w, pre + "fc1.bias"), ffn);
    for (auto& e : f) e = gelu(e);
    return linear(f, n, ffn, p(w, pre + "fc2.weight"), p(w, pre + "fc2.bias"), d);
}

}  // namespace

std::map<std::string, Tensor> readSafetensors(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string bytes = ss.str();
    uint64_t n = 0;
    for (int i = 7; i >= 0; --i) n = n << 8 | uint8_t(bytes[size_t(i)]);
    const auto header = nlohmann::json::parse(bytes.substr(8, n));
    std::map<std::string, Tensor> out;
    for (const auto& [name, e] : header.items()) {
        if (name == "__metadata__") continue;
        Tensor t;
        t.shape = e["shape"].get<std::vector<int64_t>>();
        const size_t begin = 8 + n + e["data_offsets"][0].get<size_t>();
        const size_t end = 8 + n + e["data_offsets"][1].get<size_t>();
        const std::string dtype = e["dtype"];
        const size_t size = dtype == "F32" ? 4 : 2;
        for (size_t i = begin; i < end; i += size) {
            if (dtype == "F32") {
                float f;
                std::memcpy(&f, bytes.data() + i, 4);
                t.values.push_back(f);
            } else {
                uint16_t h;
                std::memcpy(&h, bytes.data() + i, 2);
                if (dtype == "F16") t.values.push_back(fromHalf(h));
                else {
                    const uint32_t bits = uint32_t(h) << 16;
                    float f;
                    std::memcpy(&f, &bits, 4);
                    t.values.push_back(f);
                }
            }
        }
        out.emplace(name, std::move(t));
    }
    return out;
}

std::vector<float> melFilters(int64_t nMels) {
    auto mel = [](double f) { return f < 1000 ? f / (200.0 / 3.0) : 15.0 + std::log(f / 1000.0) / (std::log(6.4) / 27.0); };
    auto hz = [](double m) { return m < 15 ? m * (200.0 / 3.0) : 1000.0 * std::exp((m - 15.0) * (std::log(6.4) / 27.0)); };
    std::vector<double> f(static_cast<size_t>(nMels + 2));
    for (int64_t i = 0; i < nMels + 2; ++i) f[size_t(i)] = hz(mel(8000.0) * double(i) / double(nMels + 1));
    std::vector<float> out(static_cast<size_t>(nMels * 201));
    for (int64_t m = 0; m < nMels; ++m)
        for (int64_t k = 0; k < 201; ++k) {
            const double hzk = 16000.0 / 400.0 * double(k);
            double v = 0;
            if (hzk > f[size_t(m)] && hzk <= f[size_t(m + 1)]) v = (hzk - f[size_t(m)]) / (f[size_t(m + 1)] - f[size_t(m)]);
            else if (hzk > f[size_t(m + 1)] && hzk < f[size_t(m + 2)])
                v = (f[size_t(m + 2)] - hzk) / (f[size_t(m + 2)] - f[size_t(m + 1)]);
            out[size_t(m * 201 + k)] = float(v * 2.0 / (f[size_t(m + 2)] - f[size_t(m)]));
        }
    return out;
}

std::vector<float> logMel(const std::vector<float>& audio, const std::vector<float>& filters, int64_t nMels) {
    const int64_t n = int64_t(audio.size()), frames = n / 160;
    std::vector<double> logs(static_cast<size_t>(nMels * frames));
    double maximum = -1e300;
    for (int64_t t = 0; t < frames; ++t) {
        std::vector<double> power(201);
        for (int64_t k = 0; k < 201; ++k) {
            double re = 0, im = 0;
            for (int64_t i = 0; i < 400; ++i) {
                int64_t j = t * 160 + i - 200;
                if (j < 0) j = -j;
                if (j >= n) j = 2 * (n - 1) - j;
                const double x = audio[size_t(j)] * (0.5 - 0.5 * std::cos(2 * M_PI * double(i) / 400.0));
                re += x * std::cos(2 * M_PI * double(k * i) / 400.0);
                im -= x * std::sin(2 * M_PI * double(k * i) / 400.0);
            }
            power[size_t(k)] = re * re + im * im;
        }
        for (int64_t m = 0; m < nMels; ++m) {
            double s = 0;
            for (int64_t k = 0; k < 201; ++k) s += filters[size_t(m * 201 + k)] * power[size_t(k)];
            logs[size_t(m * frames + t)] = std::log10(std::max(s, 1e-10));
            maximum = std::max(maximum, logs[size_t(m * frames + t)]);
        }
    }
    std::vector<float> out(logs.size());
    for (size_t i = 0; i < logs.size(); ++i) out[i] = float((std::max(logs[i], maximum - 8.0) + 4.0) / 4.0);
    return out;
}

std::vector<float> encoder(const std::map<std::string, Tensor>& w, const Sizes& s, const std::vector<float>& mel) {
    const int64_t d = s.d, frames = 2 * s.ctx;
    // conv1: [mels x frames] -> [frames x d]
    Matrix h1(size_t(frames * d));
    const float* w1 = p(w, "encoder.conv1.weight");
    const float* b1 = p(w, "encoder.conv1.bias");
    for (int64_t t = 0; t < frames; ++t)
        for (int64_t o = 0; o < d; ++o) {
            double acc = b1[o];
            for (int64_t c = 0; c < s.nMels; ++c)
                for (int64_t k = 0; k < 3; ++k) {
                    const int64_t src = t + k - 1;
                    if (src >= 0 && src < frames) acc += double(w1[(o * s.nMels + c) * 3 + k]) * mel[size_t(c * frames + src)];
                }
            h1[size_t(t * d + o)] = gelu(float(acc));
        }
    Matrix x(size_t(s.ctx * d));
    const float* w2 = p(w, "encoder.conv2.weight");
    const float* b2 = p(w, "encoder.conv2.bias");
    const float* pos = p(w, "encoder.embed_positions.weight");
    for (int64_t t = 0; t < s.ctx; ++t)
        for (int64_t o = 0; o < d; ++o) {
            double acc = b2[o];
            for (int64_t c = 0; c < d; ++c)
                for (int64_t k = 0; k < 3; ++k) {
                    const int64_t src = 2 * t + k - 1;
                    if (src >= 0 && src < frames) acc += double(w2[(o * d + c) * 3 + k]) * h1[size_t(src * d + c)];
                }
            x[size_t(t * d + o)] = gelu(float(acc)) + pos[t * d + o];
        }
    for (int64_t l = 0; l < s.layers; ++l) {
        const std::string pre = "encoder.layers." + std::to_string(l) + ".";
        addTo(x, selfAttentionBlock(w, pre + "self_attn", x, s.ctx, d, s.heads, false));
        addTo(x, mlpBlock(w, pre, x, s.ctx, d, s.ffn));
    }
    return layerNorm(x, s.ctx, d, p(w, "encoder.layer_norm.weight"), p(w, "encoder.layer_norm.bias"));
}

std::vector<float> decoder(const std::map<std::string, Tensor>& w, const Sizes& s, const std::vector<float>& encoded,
                           const std::vector<int32_t>& tokens) {
    const int64_t d = s.d, n = int64_t(tokens.size());
    Matrix x(size_t(n * d));
    const float* embed = p(w, "decoder.embed_tokens.weight");
    const float* pos = p(w, "decoder.embed_positions.weight");
    for (int64_t i = 0; i < n; ++i)
        for (int64_t c = 0; c < d; ++c) x[size_t(i * d + c)] = embed[tokens[size_t(i)] * d + c] + pos[i * d + c];
    for (int64_t l = 0; l < s.layers; ++l) {
        const std::string pre = "decoder.layers." + std::to_string(l) + ".";
        addTo(x, selfAttentionBlock(w, pre + "self_attn", x, n, d, s.heads, true));
        const std::string a = pre + "encoder_attn";
        const Matrix h = layerNorm(x, n, d, p(w, a + "_layer_norm.weight"), p(w, a + "_layer_norm.bias"));
        const Matrix q = linear(h, n, d, p(w, a + ".q_proj.weight"), p(w, a + ".q_proj.bias"), d);
        const Matrix k = linear(encoded, s.ctx, d, p(w, a + ".k_proj.weight"), nullptr, d);
        const Matrix v = linear(encoded, s.ctx, d, p(w, a + ".v_proj.weight"), p(w, a + ".v_proj.bias"), d);
        addTo(x, linear(attend(q, n, k, v, s.ctx, d, s.heads, -1), n, d, p(w, a + ".out_proj.weight"),
                        p(w, a + ".out_proj.bias"), d));
        addTo(x, mlpBlock(w, pre, x, n, d, s.ffn));
    }
    const Matrix last(x.end() - d, x.end());
    const Matrix normed = layerNorm(last, 1, d, p(w, "decoder.layer_norm.weight"), p(w, "decoder.layer_norm.bias"));
    return linear(normed, 1, d, embed, nullptr, s.vocab);
}

double relativeMaxError(const float* a, const std::vector<float>& b) {
    double err = 0, scale = 0;
    for (size_t i = 0; i < b.size(); ++i) {
        err = std::max(err, std::fabs(double(a[i]) - b[i]));
        scale = std::max(scale, std::fabs(double(b[i])));
    }
    return err / std::max(scale, 1e-30);
}

}  // namespace reference
