// The three models against naive reference loops, on tiny variants
// written by the darivir-model tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <thread>

#include "Platform/ML/Model.h"
#include "Platform/ML/ThreadTeam.h"
#include "Platform/ML/WeightsFile.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

namespace reference {

// Naive computations of the three models (width 64, 4 heads, 2 layers, 80 mel bands),
// written straight from the model family's description with double accumulation,
// independent of the runtime's code.
constexpr int64_t kWidth = 64, kHeads = 4, kLayers = 2, kMels = 80;
using Matrix = std::vector<float>;
using Weights = std::map<std::string, std::vector<float>>;

const float* p(const Weights& w, const std::string& name) { return w.at(name).data(); }

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
        const float* row = x.data() + r * d;
        double mean = 0, var = 0;
        for (int64_t i = 0; i < d; ++i) mean += row[i] / double(d);
        for (int64_t i = 0; i < d; ++i) var += (row[i] - mean) * (row[i] - mean) / double(d);
        for (int64_t i = 0; i < d; ++i) y[size_t(r * d + i)] = float((row[i] - mean) / std::sqrt(var + 1e-5) * w[i] + b[i]);
    }
    return y;
}

float gelu(double x) { return float(0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0)))); }

// Multi-head attention of q [nq x d] over k, v [nk x d]; a causal query i sees keys 0..i.
Matrix attend(const Matrix& q, int64_t nq, const Matrix& k, const Matrix& v, int64_t nk, bool causal) {
    const int64_t d = kWidth, dh = d / kHeads;
    Matrix out(size_t(nq * d));
    for (int64_t h = 0; h < kHeads; ++h)
        for (int64_t i = 0; i < nq; ++i) {
            const int64_t visible = causal ? i + 1 : nk;
            std::vector<double> s(size_t(visible), 0.0);
            double m = -1e300, sum = 0;
            for (int64_t j = 0; j < visible; ++j) {
                for (int64_t c = 0; c < dh; ++c) s[size_t(j)] += double(q[size_t(i * d + h * dh + c)]) * k[size_t(j * d + h * dh + c)];
                m = std::max(m, s[size_t(j)] /= std::sqrt(double(dh)));
            }
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

// The attention of `a` (self or cross: keys and values from `kv`, nkv rows), residual excluded.
Matrix attention(const Weights& w, const std::string& a, const Matrix& x, int64_t n, const Matrix* kv, int64_t nkv, bool causal) {
    const int64_t d = kWidth;
    const Matrix h = layerNorm(x, n, d, p(w, a + "_layer_norm.weight"), p(w, a + "_layer_norm.bias"));
    const Matrix& source = kv ? *kv : h;
    const Matrix q = linear(h, n, d, p(w, a + ".q_proj.weight"), p(w, a + ".q_proj.bias"), d);
    const Matrix k = linear(source, nkv, d, p(w, a + ".k_proj.weight"), nullptr, d);
    const Matrix v = linear(source, nkv, d, p(w, a + ".v_proj.weight"), p(w, a + ".v_proj.bias"), d);
    return linear(attend(q, n, k, v, nkv, causal), n, d, p(w, a + ".out_proj.weight"), p(w, a + ".out_proj.bias"), d);
}

Matrix mlp(const Weights& w, const std::string& pre, const Matrix& x, int64_t n) {
    const Matrix h = layerNorm(x, n, kWidth, p(w, pre + "final_layer_norm.weight"), p(w, pre + "final_layer_norm.bias"));
    Matrix f = linear(h, n, kWidth, p(w, pre + "fc1.weight"), p(w, pre + "fc1.bias"), 4 * kWidth);
    for (auto& e : f) e = gelu(e);
    return linear(f, n, 4 * kWidth, p(w, pre + "fc2.weight"), p(w, pre + "fc2.bias"), kWidth);
}

// A kernel-3, padding-1 convolution with GELU: in [inC x frames] read through `at`.
template <typename At>
Matrix conv(const float* W, const float* b, int64_t inC, int64_t outC, int64_t frames, int64_t stride, At at) {
    Matrix y(size_t(frames * outC));
    for (int64_t t = 0; t < frames; ++t)
        for (int64_t o = 0; o < outC; ++o) {
            double acc = b[o];
            for (int64_t c = 0; c < inC; ++c)
                for (int64_t k = 0; k < 3; ++k) acc += double(W[(o * inC + c) * 3 + k]) * at(c, stride * t + k - 1);
            y[size_t(t * outC + o)] = gelu(acc);
        }
    return y;
}

Weights read(const fs::path& path) {
    const WeightsFile file(path);
    Weights out;
    for (const auto& [name, view] : file.tensors()) out[name] = file.floats(name, view.shape);
    return out;
}

std::vector<float> melFilters(int64_t nMels) {
    auto mel = [](double f) { return f < 1000 ? f / (200.0 / 3.0) : 15.0 + std::log(f / 1000.0) / (std::log(6.4) / 27.0); };
    auto hz = [](double m) { return m < 15 ? m * (200.0 / 3.0) : 1000.0 * std::exp((m - 15.0) * (std::log(6.4) / 27.0)); };
    std::vector<double> f(size_t(nMels + 2));
    for (int64_t i = 0; i < nMels + 2; ++i) f[size_t(i)] = hz(mel(8000.0) * double(i) / double(nMels + 1));
    std::vector<float> out(size_t(nMels * 201));
    for (size_t m = 0; m < size_t(nMels); ++m)
        for (size_t k = 0; k < 201; ++k) {
            const double x = 40.0 * double(k);
            double v = 0;
            if (x > f[m] && x <= f[m + 1]) v = (x - f[m]) / (f[m + 1] - f[m]);
            else if (x > f[m + 1] && x < f[m + 2]) v = (f[m + 2] - x) / (f[m + 2] - f[m + 1]);
            out[m * 201 + k] = float(v * 2.0 / (f[m + 2] - f[m]));
        }
    return out;
}

std::vector<float> logMel(const std::vector<float>& audio, const std::vector<float>& filters, int64_t nMels) {
    const int64_t n = int64_t(audio.size()), frames = n / 160;
    std::vector<double> logs(size_t(nMels * frames));
    for (int64_t t = 0; t < frames; ++t) {
        std::vector<double> power(201);
        for (int64_t k = 0; k < 201; ++k) {
            double re = 0, im = 0;
            for (int64_t i = 0; i < 400; ++i) {
                int64_t j = std::abs(t * 160 + i - 200);  // reflected at both ends
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
        }
    }
    const double maximum = *std::max_element(logs.begin(), logs.end());
    std::vector<float> out(logs.size());
    for (size_t i = 0; i < logs.size(); ++i) out[i] = float((std::max(logs[i], maximum - 8.0) + 4.0) / 4.0);
    return out;
}

std::vector<float> encoder(const Weights& w, int64_t ctx, const std::vector<float>& mel) {
    const int64_t frames = 2 * ctx, d = kWidth;
    auto inRange = [](int64_t t, int64_t n) { return t >= 0 && t < n; };
    const Matrix h1 = conv(p(w, "encoder.conv1.weight"), p(w, "encoder.conv1.bias"), kMels, d, frames, 1,
                           [&](int64_t c, int64_t t) { return inRange(t, frames) ? mel[size_t(c * frames + t)] : 0.0f; });
    Matrix x = conv(p(w, "encoder.conv2.weight"), p(w, "encoder.conv2.bias"), d, d, ctx, 2,
                    [&](int64_t c, int64_t t) { return inRange(t, frames) ? h1[size_t(t * d + c)] : 0.0f; });
    for (size_t i = 0; i < x.size(); ++i) x[i] += p(w, "encoder.embed_positions.weight")[i];
    for (int64_t l = 0; l < kLayers; ++l) {
        const std::string pre = "encoder.layers." + std::to_string(l) + ".";
        addTo(x, attention(w, pre + "self_attn", x, ctx, nullptr, ctx, false));
        addTo(x, mlp(w, pre, x, ctx));
    }
    return layerNorm(x, ctx, d, p(w, "encoder.layer_norm.weight"), p(w, "encoder.layer_norm.bias"));
}

// The logits after the last of `tokens`, computing the whole prefix without a cache.
std::vector<float> decoder(const Weights& w, int64_t ctx, const std::vector<float>& encoded, const std::vector<int32_t>& tokens) {
    const int64_t d = kWidth, n = int64_t(tokens.size());
    Matrix x(size_t(n * d));
    const float* embed = p(w, "decoder.embed_tokens.weight");
    for (int64_t i = 0; i < n; ++i)
        for (int64_t c = 0; c < d; ++c) x[size_t(i * d + c)] = embed[tokens[size_t(i)] * d + c] + p(w, "decoder.embed_positions.weight")[i * d + c];
    for (int64_t l = 0; l < kLayers; ++l) {
        const std::string pre = "decoder.layers." + std::to_string(l) + ".";
        addTo(x, attention(w, pre + "self_attn", x, n, nullptr, n, true));
        addTo(x, attention(w, pre + "encoder_attn", x, n, &encoded, ctx, false));
        addTo(x, mlp(w, pre, x, n));
    }
    const Matrix normed = layerNorm(Matrix(x.end() - d, x.end()), 1, d, p(w, "decoder.layer_norm.weight"), p(w, "decoder.layer_norm.bias"));
    return linear(normed, 1, d, embed, nullptr, int64_t(w.at("decoder.embed_tokens.weight").size()) / d);
}

// Largest |a - b| divided by the largest |b|.
double relativeMaxError(const float* a, const std::vector<float>& b) {
    double err = 0, scale = 1e-30;
    for (size_t i = 0; i < b.size(); ++i) {
        err = std::max(err, std::fabs(double(a[i]) - b[i]));
        scale = std::max(scale, std::fabs(double(b[i])));
    }
    return err / scale;
}

}  // namespace reference

using reference::kMels;
using reference::kWidth;
constexpr int64_t kCtx = 80;
const ModelConfiguration kFp32{ComputeUnits::cpuOnly, MatrixPrecision::float32};

// Float values in the given shape, or token ids in one dimension.
template <typename T>
MultiArray array(const std::vector<T>& v, std::vector<int64_t> shape = {}) {
    const auto type = std::is_same_v<T, float> ? MultiArrayDataType::float32 : MultiArrayDataType::int32;
    MultiArray a(shape.empty() ? std::vector<int64_t>{int64_t(v.size())} : shape, type);
    std::copy(v.begin(), v.end(), a.elements<T>().begin());
    return a;
}
MultiArray ids(const std::vector<int32_t>& v) { return array(v); }

FeatureProvider input(MultiArray tokens, const MultiArray* encoded = nullptr) {
    FeatureProvider in;
    in.set("input_ids", std::move(tokens));
    if (encoded) in.set("encoder_output_embeds", *encoded);
    return in;
}

fs::path writeTiny(const fs::path& folder, int seed, int64_t ctx, int width = 64, int heads = 4) {
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --out " + folder.string() +
                                " --seed " + std::to_string(seed) + " --audio-ctx " + std::to_string(ctx) +
                                " --width " + std::to_string(width) + " --heads " + std::to_string(heads) + " > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return folder;
}

// Noise growing along the window, so that different stretches of keys score differently
// (their partial softmaxes then need their own maxima).
std::vector<float> encodedStates(int64_t ctx) {
    std::vector<float> e(size_t(ctx * kWidth));
    uint32_t state = 7;
    for (size_t i = 0; i < e.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        e[i] = float((double(state >> 8) / 8388608.0 - 1.0) * (0.5 + 2.0 * double(i / kWidth) / double(ctx)));
    }
    return e;
}

// Feeds a prompt of three tokens, then one token per call, and compares every step with
// the reference and with a stateless prediction of the whole prefix.
void checkDecoder(const fs::path& folder, const ModelConfiguration& configuration, double tolerance, int64_t ctx) {
    auto decoder = Model::load(folder / "TextDecoder.mlmodelc", configuration);
    const auto w = reference::read(folder / "TextDecoder.mlmodelc" / "weights.safetensors");
    const int32_t vocab = int32_t(w.at("decoder.embed_tokens.weight").size() / kWidth);
    const auto encoded = encodedStates(ctx);
    const MultiArray e = array(encoded, {ctx, kWidth});
    const std::vector<int32_t> tokens = {vocab - 1608, 7, 300, 42, 42, vocab - 1};
    auto state = decoder->makeState();
    for (size_t fed = 3; fed <= tokens.size(); ++fed) {
        const std::vector<int32_t> prefix(tokens.begin(), tokens.begin() + long(fed));
        const auto cached = decoder->prediction(fed == 3 ? input(ids(prefix), &e) : input(ids({tokens[fed - 1]})), *state);
        const auto uncached = decoder->prediction(input(ids(prefix), &e));
        const float* logits = cached.multiArray("logits")->elements<float>().data();
        EXPECT_LT(reference::relativeMaxError(logits, reference::decoder(w, ctx, encoded, prefix)), tolerance) << fed;
        const auto again = uncached.multiArray("logits")->elements<float>();
        EXPECT_LT(reference::relativeMaxError(logits, std::vector<float>(again.begin(), again.end())), 1e-5) << fed;
    }
}

class TinyModels : public ::testing::Test {
protected:
    static void SetUpTestSuite() { writeTiny(variant(), 11, kCtx); }
    static fs::path model(const char* name) { return variant() / (std::string(name) + ".mlmodelc"); }
    static fs::path variant() {
        static testsupport::TempDir dir;  // made on first use: never before the program re-executes itself
        return dir / "v";
    }
};

}  // namespace

TEST_F(TinyModels, MelFeaturesMatchADirectDftAndSilenceIsFlat) {
    const auto filters = reference::read(model("MelSpectrogram") / "weights.safetensors").at("mel_filters");
    EXPECT_LT(reference::relativeMaxError(filters.data(), reference::melFilters(kMels)), 1e-5);

    std::vector<float> audio(size_t(kCtx * 320));
    uint32_t noise = 12345;
    for (size_t i = 0; i < audio.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        audio[i] = 0.5f * std::sin(2.0f * float(M_PI) * 440.0f * float(i) / 16000.0f) + 0.01f * (float(noise >> 8) / 16777216.0f - 0.5f);
    }
    auto mel = Model::load(model("MelSpectrogram"));
    FeatureProvider in;
    in.set("audio", array(audio));
    const auto out = mel->prediction(in);
    const MultiArray* features = out.multiArray("melspectrogram_features");
    ASSERT_EQ(features->shape(), (std::vector<int64_t>{kMels, 2 * kCtx}));
    const auto expected = reference::logMel(audio, filters, kMels);
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_NEAR(features->elements<float>()[i], expected[i], 2e-4) << i;

    in.set("audio", MultiArray({kCtx * 320}, MultiArrayDataType::float32));
    const auto silent = mel->prediction(in);  // held: a range-for does not keep the temporary alive
    for (float v : silent.multiArray("melspectrogram_features")->elements<float>()) ASSERT_FLOAT_EQ(v, -1.5f);
}

TEST_F(TinyModels, EncoderAndDecoderMatchTheReferenceInEachPrecision) {
    struct Case {
        MatrixPrecision precision;
        double encoder, decoder;  // bfloat16 keeps 8 bits of mantissa: a few parts in a thousand
    };
    std::vector<Case> cases = {{MatrixPrecision::float32, 1e-5, 1e-5}};
    if (bfloat16Available()) cases.push_back({MatrixPrecision::bfloat16, 2e-2, 1e-2});
    std::vector<float> mel(size_t(kMels * 2 * kCtx));
    for (size_t i = 0; i < mel.size(); ++i) mel[i] = float(std::sin(double(i) * 0.37)) * 0.8f;
    const auto expected = reference::encoder(reference::read(model("AudioEncoder") / "weights.safetensors"), kCtx, mel);
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.precision));
        auto encoder = Model::load(model("AudioEncoder"), {ComputeUnits::all, c.precision});
        EXPECT_EQ(encoder->matrixPrecision(), c.precision);
        FeatureProvider in;
        in.set("melspectrogram_features", array(mel, {kMels, 2 * kCtx}));
        const auto out = encoder->prediction(in);
        const MultiArray* e = out.multiArray("encoder_output_embeds");
        ASSERT_EQ(e->shape(), (std::vector<int64_t>{kCtx, kWidth}));
        EXPECT_LT(reference::relativeMaxError(e->elements<float>().data(), expected), c.encoder);
        checkDecoder(variant(), {ComputeUnits::all, c.precision}, c.decoder, kCtx);
    }
}

TEST(TinyDecoder, LongWindowSplitsTheCrossAttentionKeys) {
    testsupport::TempDir dir;
    checkDecoder(writeTiny(dir.path() / "v", 12, 1000), kFp32, 1e-5, 1000);
}

TEST_F(TinyModels, DecoderRefusesWhatItCannotDecode) {
    auto decoder = Model::load(model("TextDecoder"), kFp32);
    const int32_t vocab = int32_t(decoder->modelDescription().outputDescriptionsByName.at("logits").multiArrayConstraint->shape[1]);
    const MultiArray e = array(encodedStates(kCtx), {kCtx, kWidth});
    auto refused = [&](const FeatureProvider& in, ModelStateHandle& state) {
        try {
            (void)decoder->prediction(in, state);
        } catch (const MlError& error) {
            EXPECT_EQ(error.code, MlError::Code::badInput) << error.what();
            return true;
        }
        return false;
    };
    const MultiArray narrow = array(std::vector<float>(size_t(kCtx * 8)), {kCtx, 8});
    const std::vector<FeatureProvider> bad = {input(ids({1})),  // the first call needs the encoder output
                                              input(ids({vocab}), &e), input(ids({-1}), &e), input(ids({1}), &narrow),
                                              input(array(std::vector<float>{1.0f}), &e)};
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_TRUE(refused(bad[i], *decoder->makeState())) << i;

    // 448 positions: a prompt of 440, then 8 single tokens fill the table; one more is refused.
    auto state = decoder->makeState();
    const auto prompt = input(ids(std::vector<int32_t>(440, 5)), &e), one = input(ids({6}));
    EXPECT_FALSE(refused(prompt, *state));
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(refused(one, *state)) << i;
    EXPECT_TRUE(refused(one, *state));

    // A state of another model is refused, and stateless models make no state.
    EXPECT_TRUE(refused(prompt, *Model::load(model("TextDecoder"))->makeState()));
    EXPECT_THROW((void)Model::load(model("MelSpectrogram"))->makeState(), MlError);
}

TEST_F(TinyModels, ConcurrentPredictionsOnOneModelGiveIdenticalResults) {
    auto encoder = Model::load(model("AudioEncoder"));
    auto decoder = Model::load(model("TextDecoder"));
    std::vector<float> mel(size_t(kMels * 2 * kCtx));
    for (size_t i = 0; i < mel.size(); ++i) mel[i] = float(std::sin(double(i) * 0.013));
    FeatureProvider in;
    in.set("melspectrogram_features", array(mel, {kMels, 2 * kCtx}));
    auto run = [&] {
        const auto encoded = encoder->prediction(in);
        auto state = decoder->makeState();
        const auto first = decoder->prediction(input(ids({3, 4, 5}), encoded.multiArray("encoder_output_embeds")), *state);
        const auto second = decoder->prediction(input(ids({9})), *state);
        std::vector<float> all;
        for (const auto* a : {encoded.multiArray("encoder_output_embeds"), first.multiArray("logits"), second.multiArray("logits")})
            all.insert(all.end(), a->elements<float>().begin(), a->elements<float>().end());
        return all;
    };
    const auto expected = run();
    std::vector<std::vector<float>> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&r, &run] { r = run(); });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);

    auto future = encoder->predictionAsync(in);
    encoder.reset();  // the task keeps the model alive
    const auto asyncResult = future.get();
    const auto e = asyncResult.multiArray("encoder_output_embeds")->elements<float>();
    EXPECT_TRUE(std::equal(e.begin(), e.end(), expected.begin()));
}

// The team follows the machine's load, so a model's results must not depend on how many
// threads run it: two predictions of one input agree bit for bit.
TEST(TeamSize, EveryModelKindGivesBitIdenticalResultsForAnyTeamSize) {
    // Wide enough that every product is split between threads, fewer heads than threads,
    // and enough keys for the decoder's cross attention to be split into chunks.
    constexpr int64_t kLongCtx = 600;
    testsupport::TempDir dir;
    const fs::path folder = writeTiny(dir.path() / "v", 5, kLongCtx, 128, 2);
    std::vector<MatrixPrecision> precisions{MatrixPrecision::float32};
    if (bfloat16Available()) precisions.push_back(MatrixPrecision::bfloat16);
    for (const MatrixPrecision precision : precisions) {
        SCOPED_TRACE(precision == MatrixPrecision::bfloat16 ? "bf16" : "fp32");
        const ModelConfiguration configuration{ComputeUnits::all, precision};
        const auto mel = Model::load(folder / "MelSpectrogram.mlmodelc", configuration);
        const auto encoder = Model::load(folder / "AudioEncoder.mlmodelc", configuration);
        const auto decoder = Model::load(folder / "TextDecoder.mlmodelc", configuration);
        std::vector<float> audio(size_t(kLongCtx * 320));
        for (size_t i = 0; i < audio.size(); ++i) audio[i] = 0.3f * std::sin(float(i) * 0.037f);
        FeatureProvider in;
        in.set("audio", array(audio));

        auto run = [&](int team) {
            const PinnedTeamSize pinned(team);
            const auto features = mel->prediction(in);
            const auto encoded = encoder->prediction(features);
            auto state = decoder->makeState();
            const auto first = decoder->prediction(input(ids({7, 300, 41}), encoded.multiArray("encoder_output_embeds")), *state);
            const auto second = decoder->prediction(input(ids({99})), *state);
            std::vector<std::vector<float>> outputs;
            for (const auto* a : {features.multiArray("melspectrogram_features"), encoded.multiArray("encoder_output_embeds"),
                                  first.multiArray("logits"), second.multiArray("logits")})
                outputs.emplace_back(a->elements<float>().begin(), a->elements<float>().end());
            return outputs;
        };
        const auto single = run(1);
        const char* names[] = {"mel", "encoder", "decoder prompt", "decoder step"};
        for (const int team : {3, 8}) {
            const auto many = run(team);
            for (size_t i = 0; i < single.size(); ++i) EXPECT_EQ(single[i], many[i]) << names[i] << " with " << team << " threads";
        }
    }
}
