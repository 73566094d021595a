// The three models against the naive reference loops of Reference.cpp, on tiny variants
// written by the darivir-model tool (a short window: 50 encoder positions).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <thread>

#include "Platform/ML/Model.h"
#include "Reference.h"
#include "support/TempDir.h"
#include "TestPaths.h"

using namespace platform::ml;

namespace {

constexpr int64_t kCtx = 80, kWidth = 64, kHeads = 4, kLayers = 2, kMels = 80;

MultiArray arrayOf(const std::vector<float>& v, std::vector<int64_t> shape) {
    MultiArray a(std::move(shape), MultiArrayDataType::float32);
    std::copy(v.begin(), v.end(), a.elements<float>().begin());
    return a;
}

MultiArray ids(const std::vector<int32_t>& v) {
    MultiArray a({int64_t(v.size())}, MultiArrayDataType::int32);
    std::copy(v.begin(), v.end(), a.elements<int32_t>().begin());
    return a;
}

class TinyModels : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new testsupport::TempDir();
        const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --out " +
                                    (dir_->path() / "v").string() + " --seed 11 --audio-ctx " + std::to_string(kCtx) +
                                    " --width " + std::to_string(kWidth) + " --heads " + std::to_string(kHeads) +
                                    " > /dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::filesystem::path model(const char* name) { return dir_->path() / "v" / (std::string(name) + ".mlmodelc"); }
    static std::map<std::string, reference::Tensor> weights(const char* name) {
        return reference::readSafetensors(model(name) / "weights.safetensors");
    }
    static reference::Sizes sizes(int64_t vocab) { return {kWidth, kHeads, kLayers, 4 * kWidth, kCtx, kMels, vocab, 448}; }

    static std::vector<float> testAudio() {
        std::vector<float> audio(size_t(kCtx * 320));
        uint32_t noise = 12345;
        for (size_t i = 0; i < audio.size(); ++i) {
            noise = noise * 1664525u + 1013904223u;
            audio[i] = 0.5f * std::sin(2.0f * float(M_PI) * 440.0f * float(i) / 16000.0f) +
                       0.01f * (float(noise >> 8) / 16777216.0f - 0.5f);
        }
        return audio;
    }

    static testsupport::TempDir* dir_;
};

testsupport::TempDir* TinyModels::dir_ = nullptr;

TEST_F(TinyModels, MelFilterbankAndFeaturesMatchADirectDft) {
    const auto w = weights("MelSpectrogram");
    const auto& filters = w.at("mel_filters");
    ASSERT_EQ(filters.shape, (std::vector<int64_t>{kMels, 201}));
    EXPECT_LT(reference::relativeMaxError(filters.values.data(), reference::melFilters(kMels)), 1e-5);

    auto mel = Model::load(model("MelSpectrogram"));
    const auto audio = testAudio();
    FeatureProvider in;
    in.set("audio", arrayOf(audio, {int64_t(audio.size())}));
    const auto out = mel->prediction(in);
    const MultiArray* features = out.multiArray("melspectrogram_features");
    ASSERT_NE(features, nullptr);
    ASSERT_EQ(features->shape(), (std::vector<int64_t>{kMels, 2 * kCtx}));
    const auto expected = reference::logMel(audio, filters.values, kMels);
    double worst = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        worst = std::max(worst, std::fabs(double(features->elements<float>()[i]) - expected[i]));
    EXPECT_LT(worst, 2e-4);
    // The 440 Hz tone (exactly bin 11) is loudest in the filter that weighs bin 11 most.
    int64_t loudest = 0, widest = 0;
    for (int64_t m = 0; m < kMels; ++m) {
        if (features->elements<float>()[size_t(m * 2 * kCtx + kCtx)] >
            features->elements<float>()[size_t(loudest * 2 * kCtx + kCtx)])
            loudest = m;
        if (filters.values[size_t(m * 201 + 11)] > filters.values[size_t(widest * 201 + 11)]) widest = m;
    }
    EXPECT_NEAR(double(loudest), double(widest), 1.0);
}

TEST_F(TinyModels, SilenceGivesMinusOneAndAHalf) {
    auto mel = Model::load(model("MelSpectrogram"));
    FeatureProvider in;
    in.set("audio", MultiArray({kCtx * 320}, MultiArrayDataType::float32));
    const auto out = mel->prediction(in);
    for (float v : out.multiArray("melspectrogram_features")->elements<float>()) ASSERT_FLOAT_EQ(v, -1.5f);
}

void checkEncoder(const std::shared_ptr<Model>& encoder, const std::map<std::string, reference::Tensor>& w,
                  const reference::Sizes& s, double tolerance) {
    std::vector<float> mel(size_t(kMels * 2 * kCtx));
    for (size_t i = 0; i < mel.size(); ++i) mel[i] = float(std::sin(double(i) * 0.37)) * 0.8f;
    FeatureProvider in;
    MultiArray a({kMels, 2 * kCtx}, MultiArrayDataType::float32);
    std::copy(mel.begin(), mel.end(), a.elements<float>().begin());
    in.set("melspectrogram_features", a);
    const auto out = encoder->prediction(in);
    const MultiArray* e = out.multiArray("encoder_output_embeds");
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(e->shape(), (std::vector<int64_t>{kCtx, kWidth}));
    const auto expected = reference::encoder(w, s, mel);
    EXPECT_LT(reference::relativeMaxError(e->elements<float>().data(), expected), tolerance);
}

TEST_F(TinyModels, EncoderMatchesTheReferenceInFloat32) {
    auto encoder = Model::load(model("AudioEncoder"), {ComputeUnits::cpuOnly, MatrixPrecision::float32});
    EXPECT_EQ(encoder->matrixPrecision(), MatrixPrecision::float32);
    checkEncoder(encoder, weights("AudioEncoder"), sizes(0), 1e-5);
}

TEST_F(TinyModels, EncoderMatchesTheReferenceInBfloat16) {
    if (!bfloat16Available()) GTEST_SKIP() << "this processor has no bfloat16 matrix products";
    auto encoder = Model::load(model("AudioEncoder"), {ComputeUnits::all, MatrixPrecision::bfloat16});
    EXPECT_EQ(encoder->matrixPrecision(), MatrixPrecision::bfloat16);
    // bfloat16 keeps 8 bits of mantissa: a few parts in a thousand through two blocks.
    checkEncoder(encoder, weights("AudioEncoder"), sizes(0), 2e-2);
}

std::vector<float> encodedStates(int64_t ctx = kCtx) {
    // Noise growing along the window, so that the keys of different stretches of the
    // window score differently (their partial softmaxes then need their own maxima).
    std::vector<float> e(static_cast<size_t>(ctx * kWidth));
    uint32_t state = 7;
    for (size_t i = 0; i < e.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const double noise = double(state >> 8) / 8388608.0 - 1.0;
        e[i] = float(noise * (0.5 + 2.0 * double(i / kWidth) / double(ctx)));
    }
    return e;
}

void checkDecoder(const std::shared_ptr<Model>& decoder, const std::map<std::string, reference::Tensor>& w,
                  double tolerance, int64_t ctx = kCtx) {
    const int64_t vocab = decoder->modelDescription().outputDescriptionsByName.at("logits").multiArrayConstraint->shape[1];
    const auto s = reference::Sizes{kWidth, kHeads, kLayers, 4 * kWidth, ctx, kMels, vocab, 448};
    const auto encoded = encodedStates(ctx);
    MultiArray e({ctx, kWidth}, MultiArrayDataType::float32);
    std::copy(encoded.begin(), encoded.end(), e.elements<float>().begin());
    const std::vector<int32_t> tokens = {int32_t(vocab - 1501 - 6 - 100 - 1), 7, 300, 42, 42, int32_t(vocab - 1)};

    // A prompt of three tokens in one call, then one token per call.
    auto state = decoder->makeState();
    for (size_t fed = 3; fed <= tokens.size(); ++fed) {
        FeatureProvider in;
        if (fed == 3) {
            in.set("input_ids", ids(std::vector<int32_t>(tokens.begin(), tokens.begin() + 3)));
            in.set("encoder_output_embeds", e);
        } else {
            in.set("input_ids", ids({tokens[fed - 1]}));
        }
        const auto cached = decoder->prediction(in, *state);
        const std::vector<int32_t> prefix(tokens.begin(), tokens.begin() + long(fed));
        const auto expected = reference::decoder(w, s, encoded, prefix);
        const float* logits = cached.multiArray("logits")->elements<float>().data();
        EXPECT_LT(reference::relativeMaxError(logits, expected), tolerance) << "after " << fed << " tokens";

        // The same prefix in one stateless prediction gives the same logits as the cache.
        FeatureProvider whole;
        whole.set("input_ids", ids(prefix));
        whole.set("encoder_output_embeds", e);
        const auto uncached = decoder->prediction(whole);
        const auto again = uncached.multiArray("logits")->elements<float>();
        EXPECT_LT(reference::relativeMaxError(logits, std::vector<float>(again.begin(), again.end())), 1e-5);
    }
}

}  // namespace

TEST_F(TinyModels, DecoderWithItsCacheMatchesTheReferenceInFloat32) {
    auto decoder = Model::load(model("TextDecoder"), {ComputeUnits::cpuOnly, MatrixPrecision::float32});
    checkDecoder(decoder, weights("TextDecoder"), 1e-5);
}

TEST_F(TinyModels, DecoderMatchesTheReferenceWithBfloat16CrossProjections) {
    if (!bfloat16Available()) GTEST_SKIP() << "this processor has no bfloat16 matrix products";
    auto decoder = Model::load(model("TextDecoder"), {ComputeUnits::all, MatrixPrecision::bfloat16});
    checkDecoder(decoder, weights("TextDecoder"), 1e-2);
}

TEST(TinyDecoder, LongWindowSplitsTheCrossAttentionKeys) {
    // 1000 encoder positions: the cross attention of a step runs over key chunks whose
    // partial softmaxes are combined.
    testsupport::TempDir dir;
    const auto folder = dir.path() / "v";
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --out " + folder.string() +
                                " --seed 12 --audio-ctx 1000 --width 64 --heads 4 > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto decoder = Model::load(folder / "TextDecoder.mlmodelc", {ComputeUnits::cpuOnly, MatrixPrecision::float32});
    checkDecoder(decoder, reference::readSafetensors(folder / "TextDecoder.mlmodelc" / "weights.safetensors"), 1e-5, 1000);
}

TEST_F(TinyModels, DecoderRefusesWhatItCannotDecode) {
    auto decoder = Model::load(model("TextDecoder"), {ComputeUnits::cpuOnly, MatrixPrecision::float32});
    const int64_t vocab = decoder->modelDescription().outputDescriptionsByName.at("logits").multiArrayConstraint->shape[1];
    auto code = [&](const FeatureProvider& in, ModelStateHandle& state) {
        try {
            (void)decoder->prediction(in, state);
        } catch (const MlError& e) {
            return int(e.code);
        }
        return -1;
    };
    const MultiArray e = arrayOf(encodedStates(), {kCtx, kWidth});
    auto state = decoder->makeState();
    FeatureProvider noStates;
    noStates.set("input_ids", ids({1}));
    EXPECT_EQ(code(noStates, *state), int(MlError::Code::badInput));  // the first call needs the encoder output

    FeatureProvider outside;
    outside.set("input_ids", ids({int32_t(vocab)}));
    outside.set("encoder_output_embeds", e);
    EXPECT_EQ(code(outside, *state), int(MlError::Code::badInput));
    FeatureProvider negative;
    negative.set("input_ids", ids({-1}));
    negative.set("encoder_output_embeds", e);
    EXPECT_EQ(code(negative, *state), int(MlError::Code::badInput));

    FeatureProvider wrongShape;
    wrongShape.set("input_ids", ids({1}));
    wrongShape.set("encoder_output_embeds", arrayOf(std::vector<float>(size_t(kCtx * 8)), {kCtx, 8}));
    EXPECT_EQ(code(wrongShape, *state), int(MlError::Code::badInput));
    FeatureProvider wrongType;
    wrongType.set("input_ids", arrayOf({1.0f}, {1}));
    wrongType.set("encoder_output_embeds", e);
    EXPECT_EQ(code(wrongType, *state), int(MlError::Code::badInput));

    // 448 positions: a prompt of 440, then 8 single tokens fill the table; one more is refused.
    FeatureProvider prompt;
    prompt.set("input_ids", ids(std::vector<int32_t>(440, 5)));
    prompt.set("encoder_output_embeds", e);
    EXPECT_EQ(code(prompt, *state), -1);
    FeatureProvider one;
    one.set("input_ids", ids({6}));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(code(one, *state), -1);
    EXPECT_EQ(code(one, *state), int(MlError::Code::badInput));

    // A state of another model is refused, and stateless models make no state.
    auto other = Model::load(model("TextDecoder"));
    auto foreign = other->makeState();
    EXPECT_EQ(code(prompt, *foreign), int(MlError::Code::badInput));
    auto mel = Model::load(model("MelSpectrogram"));
    EXPECT_THROW((void)mel->makeState(), MlError);
}

TEST_F(TinyModels, ConcurrentPredictionsOnOneModelGiveIdenticalResults) {
    auto encoder = Model::load(model("AudioEncoder"));
    auto decoder = Model::load(model("TextDecoder"));
    std::vector<float> mel(size_t(kMels * 2 * kCtx));
    for (size_t i = 0; i < mel.size(); ++i) mel[i] = float(std::sin(double(i) * 0.013));
    FeatureProvider in;
    in.set("melspectrogram_features", arrayOf(mel, {kMels, 2 * kCtx}));

    auto run = [&] {
        const auto encoded = encoder->prediction(in);
        auto state = decoder->makeState();
        FeatureProvider step;
        step.set("input_ids", ids({3, 4, 5}));
        step.set("encoder_output_embeds", *encoded.multiArray("encoder_output_embeds"));
        const auto first = decoder->prediction(step, *state);
        FeatureProvider next;
        next.set("input_ids", ids({9}));
        const auto second = decoder->prediction(next, *state);
        std::vector<float> all;
        for (const auto* a : {encoded.multiArray("encoder_output_embeds"), first.multiArray("logits"),
                              second.multiArray("logits")})
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
