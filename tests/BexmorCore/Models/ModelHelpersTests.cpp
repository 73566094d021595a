#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "BexmorCore/MLModelPrediction.h"
#include "BexmorCore/ModelUtilities.h"
#include "BexmorCore/MultiArrayHelpers.h"
#include "TestPaths.h"
#include "support/TempDir.h"

using namespace bexmor;
namespace fs = std::filesystem;
using platform::ml::Half;
using platform::ml::MlError;
using platform::ml::MultiArray;
using platform::ml::ScalarType;
using platform::ml::Tensor;
using Type = platform::ml::MultiArrayDataType;

namespace {

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

template <class T>
std::vector<T> values(const MultiArray& array) {
    return {array.elements<T>().begin(), array.elements<T>().end()};
}

std::vector<float> halves(const MultiArray& array) {
    std::vector<float> result;
    for (Half h : array.elements<Half>()) result.push_back(float(h));
    return result;
}

Tensor tensorOf(ScalarType type, std::vector<int64_t> shape, const void* data, size_t bytes) {
    Tensor t{std::move(shape), type, std::vector<std::byte>(bytes)};
    std::memcpy(t.data.data(), data, bytes);
    return t;
}

}  // namespace

TEST(ModelUtilities, LookupsPreferCompiledModelsAndSurviveOddFolders) {
    testsupport::TempDir dir;
    const fs::path compiled = dir / "AudioEncoder.mlmodelc";
    const fs::path package = dir / "AudioEncoder.mlpackage/Data/com.apple.CoreML/model.mlmodel";
    EXPECT_FALSE(ModelUtilities::detectModelURL(dir.path()).has_value());
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "AudioEncoder"), compiled);  // neither exists
    touch(package);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "AudioEncoder"), package);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path()), package);
    fs::create_directories(compiled);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "AudioEncoder"), compiled);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path()), compiled);

    // The recursive lookup finds compiled models only, the first in path order, and is
    // stopped neither by a link loop nor by a missing folder.
    touch(dir / "b/TextDecoder.mlpackage/Data/com.apple.CoreML/model.mlmodel");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", true), dir / "TextDecoder.mlmodelc");
    fs::create_directories(dir / "z/deeper/TextDecoder.mlmodelc");
    fs::create_directories(dir / "a/x/TextDecoder.mlmodelc");
    fs::create_directory_symlink(dir.path(), dir / "a/loop");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", true), dir / "a/x/TextDecoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir / "missing", "TextDecoder", true), dir / "missing/TextDecoder.mlmodelc");
}

TEST(ModelUtilities, ShapesDimensionsAndPredictionsOfALoadedModel) {
    testsupport::TempDir dir;
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --audio-ctx 20 --out " + (dir / "v").string() + " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto decoder = platform::ml::Model::load(ModelUtilities::detectModelURL(dir / "v", "TextDecoder"));
    EXPECT_EQ(ModelUtilities::getModelInputShape(decoder.get(), "encoder_output_embeds"), (std::vector<int64_t>{20, 64}));
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(decoder.get(), "logits", 1), 1935);
    EXPECT_EQ(ModelUtilities::getModelInputDimension(decoder.get(), "encoder_output_embeds", 0), 20);
    for (const int bad : {2, -1}) EXPECT_FALSE(ModelUtilities::getModelInputDimension(decoder.get(), "encoder_output_embeds", bad));
    EXPECT_FALSE(ModelUtilities::getModelInputShape(decoder.get(), "logits").has_value());
    EXPECT_FALSE(ModelUtilities::getModelOutputShape(nullptr, "logits").has_value());

    // Predictions through the helpers give what the model gives, and its errors.
    auto mel = platform::ml::Model::load(ModelUtilities::detectModelURL(dir / "v", "MelSpectrogram"));
    platform::ml::FeatureProvider in;
    MultiArray audio({20 * 320}, Type::float32);
    for (size_t i = 0; i < audio.elements<float>().size(); ++i) audio.elements<float>()[i] = float(i % 17) / 17.0f;
    in.set("audio", audio);
    const auto features = [](const platform::ml::FeatureProvider& out) {
        const auto e = out.multiArray("melspectrogram_features")->elements<float>();
        return std::vector<float>(e.begin(), e.end());
    };
    const auto direct = features(mel->prediction(in));
    EXPECT_EQ(features(asyncPrediction(*mel, in)), direct);
    EXPECT_EQ(features(predictionFuture(mel, in).get()), direct);
    platform::ml::FeatureProvider wrong;
    wrong.set("audio", MultiArray({3}, Type::float32));
    EXPECT_THROW((void)asyncPrediction(*mel, wrong), MlError);
}

TEST(MultiArrayHelpers, MakeConvertsTheValueIntoTheElementTypeOrRefuses) {
    // An int literal, a double or a Half lands converted, never as raw bytes of another size.
    EXPECT_EQ(halves(makeMultiArray({2, 3}, Type::float16, -1)), std::vector<float>(6, -1.0f));
    EXPECT_EQ(values<float>(makeMultiArray({4}, Type::float32, 0.25)), std::vector<float>(4, 0.25f));
    EXPECT_EQ(values<float>(makeMultiArray({2}, Type::float32, Half(1.5f))), std::vector<float>(2, 1.5f));
    EXPECT_EQ(values<int32_t>(makeMultiArray({3}, Type::int32, -7)), std::vector<int32_t>(3, -7));
    EXPECT_EQ(values<int8_t>(makeMultiArray({3}, Type::int8, 5)), std::vector<int8_t>(3, 5));
    EXPECT_EQ(values<double>(makeMultiArray({2}, Type::float64, 0.1f)), std::vector<double>(2, double(0.1f)));

    EXPECT_THROW((void)makeMultiArray({}, Type::float16, 0), MLMultiArrayCreationError);
    EXPECT_THROW((void)makeMultiArray({}, Type::float32, 0), MlError);
    EXPECT_THROW((void)makeMultiArray({2, -1}, Type::int32, 0), MlError);
    for (const double bad : {1.5, double(NAN), 3e9}) EXPECT_THROW((void)makeMultiArray({2}, Type::int32, bad), std::invalid_argument) << bad;
    EXPECT_THROW((void)makeMultiArray({2}, Type::int8, 300), std::invalid_argument);
}

TEST(MultiArrayHelpers, FromAndLinearOffset) {
    const auto a = from({7, 8, 9}, 2);
    EXPECT_EQ(a.shape(), (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(values<int32_t>(a), (std::vector<int32_t>{7, 8, 9}));
    EXPECT_THROW((void)from({1}, 0), std::invalid_argument);
    EXPECT_THROW((void)from({int64_t(1) << 31}, 1), std::invalid_argument);
    EXPECT_THROW((void)from({}, 1), std::invalid_argument);

    // The shorter of index and strides decides.
    const MultiArray b({2, 3, 4}, Type::float32);
    EXPECT_EQ(linearOffset(b, {1, 2}, std::vector<int64_t>{10, 1, 100}), 12);
    EXPECT_EQ(linearOffset(b, {1, 2, 3, 9}), 23);
}

TEST(MultiArrayHelpers, FillsSkipBadIndexesAndRefuseWhatDoesNotFitWithoutWriting) {
    auto a = makeMultiArray({1, 4}, Type::float16, 0);
    fill(a, {{0, 5}, {0, 3}, {0, -1}, {0}, {1, 0}, {0, 1, 0}}, 2.5f);
    EXPECT_EQ(halves(a), (std::vector<float>{0, 0, 0, 2.5f}));
    auto ints = makeMultiArray({3}, Type::int8, 0);
    EXPECT_THROW(fill(ints, {{0}}, 1000), std::invalid_argument);
    EXPECT_EQ(values<int8_t>(ints), std::vector<int8_t>(3, 0));

    auto b = makeMultiArray({1, 1, 6}, Type::float16, 0);
    fillLastDimension(b, 2, 2, Half(1.0f));
    fillLastDimension(b, 1, 4, Half(-3.0f));
    EXPECT_EQ(halves(b), (std::vector<float>{0, -3, -3, -3, 0, 0}));
    EXPECT_THROW(fillLastDimension(b, 4, 7, Half(9.0f)), std::invalid_argument);
    EXPECT_THROW(fillLastDimension(b, -1, 2, Half(9.0f)), std::invalid_argument);
    EXPECT_EQ(halves(b), (std::vector<float>{0, -3, -3, -3, 0, 0}));
    auto wrongShape = makeMultiArray({1, 2, 6}, Type::float16, 0);
    EXPECT_THROW(fillLastDimension(wrongShape, 0, 1, Half(1.0f)), std::invalid_argument);
    auto wrongType = makeMultiArray({1, 1, 6}, Type::float32, 0);
    EXPECT_THROW(fillLastDimension(wrongType, 0, 1, Half(1.0f)), std::invalid_argument);
    EXPECT_EQ(values<float>(wrongType), std::vector<float>(6, 0));
}

TEST(MultiArrayHelpers, TensorReadsByScalarType) {
    const uint16_t halfBits[2] = {Half(1.5f).bits, Half(-2.0f).bits};
    const auto h = tensorOf(ScalarType::float16, {2}, halfBits, sizeof halfBits);
    EXPECT_EQ(toFloatArray(h), (std::vector<float>{1.5f, -2.0f}));
    EXPECT_EQ(halves(toMLMultiArray(h)), (std::vector<float>{1.5f, -2.0f}));
    const int32_t ints[3] = {1, -2, 3};
    const auto i = tensorOf(ScalarType::int32, {1, 3}, ints, sizeof ints);
    EXPECT_EQ(toIntArray(i), (std::vector<int64_t>{1, -2, 3}));
    EXPECT_EQ(toFloatArray(i), (std::vector<float>{1.0f, -2.0f, 3.0f}));
    const float floats[2] = {0.5f, 4.0f};
    const auto f = tensorOf(ScalarType::float32, {2, 1}, floats, sizeof floats);
    EXPECT_EQ(values<float>(toMLMultiArray(f)), (std::vector<float>{0.5f, 4.0f}));

    // A float tensor read as integers, a tensor of another type, or one shorter than its shape is refused.
    EXPECT_THROW((void)toIntArray(f), UnsupportedScalarTypeError);
    const int8_t bytes[2] = {1, 2};
    const auto b = tensorOf(ScalarType::int8, {2}, bytes, sizeof bytes);
    EXPECT_THROW((void)toFloatArray(b), UnsupportedScalarTypeError);
    EXPECT_THROW((void)toMLMultiArray(b), UnsupportedScalarTypeError);
    EXPECT_THROW((void)toFloatArray(tensorOf(ScalarType::float32, {3}, floats, sizeof floats)), std::invalid_argument);
}
