#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "BexmorCore/MLModelPrediction.h"
#include "BexmorCore/ModelState.h"
#include "BexmorCore/ModelUtilities.h"
#include "TestPaths.h"
#include "support/TempDir.h"

using namespace bexmor;
namespace fs = std::filesystem;
using platform::ml::ComputeUnits;

namespace {

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

}  // namespace

TEST(ModelUtilities, NamedLookupPrefersTheCompiledModel) {
    testsupport::TempDir dir;
    const fs::path compiled = dir.path() / "AudioEncoder.mlmodelc";
    const fs::path package = dir.path() / "AudioEncoder.mlpackage" / "Data/com.apple.CoreML/model.mlmodel";
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "AudioEncoder"), compiled);  // neither exists
    touch(package);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "AudioEncoder"), package);
    fs::create_directories(compiled);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "AudioEncoder"), compiled);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "AudioEncoder", false), compiled);
}

TEST(ModelUtilities, RecursiveLookupFindsDeepCompiledModelsOnly) {
    testsupport::TempDir dir;
    const fs::path direct = dir.path() / "TextDecoder.mlmodelc";
    touch(dir.path() / "b" / "TextDecoder.mlpackage" / "Data/com.apple.CoreML/model.mlmodel");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", true), direct);  // packages not searched
    fs::create_directories(dir.path() / "z" / "deeper" / "TextDecoder.mlmodelc");
    fs::create_directories(dir.path() / "a" / "x" / "TextDecoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", true), dir.path() / "a" / "x" / "TextDecoder.mlmodelc");
    fs::create_directories(direct);
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", true), direct);
    // A symbolic link loop and an unreadable folder do not stop the walk.
    fs::remove_all(direct);
    fs::create_directory_symlink(dir.path(), dir.path() / "a" / "loop");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path(), "TextDecoder", true), dir.path() / "a" / "x" / "TextDecoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path() / "missing", "TextDecoder", true),
              dir.path() / "missing" / "TextDecoder.mlmodelc");
}

TEST(ModelUtilities, FolderLookupPrefersCompiledOverPackage) {
    testsupport::TempDir dir;
    EXPECT_FALSE(ModelUtilities::detectModelURL(dir.path()).has_value());
    EXPECT_FALSE(ModelUtilities::detectModelURL(dir.path() / "missing").has_value());
    fs::create_directories(dir.path() / "A.mlpackage");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path()), dir.path() / "A.mlpackage" / "Data/com.apple.CoreML/model.mlmodel");
    fs::create_directories(dir.path() / "Z.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(dir.path()), dir.path() / "Z.mlmodelc");
}

TEST(ModelUtilities, ShapesAndDimensionsOfALoadedModel) {
    testsupport::TempDir dir;
    const std::string command = std::string(testsupport::kBinDir) + "/darivir-model tiny --audio-ctx 20 --out " +
                                (dir.path() / "v").string() + " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto decoder = platform::ml::Model::load(ModelUtilities::detectModelURL(dir.path() / "v", "TextDecoder"));
    EXPECT_EQ(ModelUtilities::getModelInputShape(decoder.get(), "encoder_output_embeds"), (std::vector<int64_t>{20, 64}));
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(decoder.get(), "logits", 1), 1935);
    EXPECT_EQ(ModelUtilities::getModelInputDimension(decoder.get(), "encoder_output_embeds", 0), 20);
    EXPECT_FALSE(ModelUtilities::getModelInputDimension(decoder.get(), "encoder_output_embeds", 2).has_value());
    EXPECT_FALSE(ModelUtilities::getModelInputDimension(decoder.get(), "encoder_output_embeds", -1).has_value());
    EXPECT_FALSE(ModelUtilities::getModelInputShape(decoder.get(), "logits").has_value());
    EXPECT_FALSE(ModelUtilities::getModelOutputShape(nullptr, "logits").has_value());

    // Predictions through the helpers give what the model gives.
    auto mel = platform::ml::Model::load(ModelUtilities::detectModelURL(dir.path() / "v", "MelSpectrogram"));
    platform::ml::FeatureProvider in;
    platform::ml::MultiArray audio({20 * 320}, platform::ml::MultiArrayDataType::float32);
    for (size_t i = 0; i < audio.elements<float>().size(); ++i) audio.elements<float>()[i] = float(i % 17) / 17.0f;
    in.set("audio", audio);
    const auto direct = mel->prediction(in);
    const auto viaHelper = asyncPrediction(*mel, in);
    const auto viaFuture = predictionFuture(mel, in).get();
    const auto a = direct.multiArray("melspectrogram_features")->elements<float>();
    const auto b = viaHelper.multiArray("melspectrogram_features")->elements<float>();
    const auto c = viaFuture.multiArray("melspectrogram_features")->elements<float>();
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin()));
    EXPECT_TRUE(std::equal(a.begin(), a.end(), c.begin()));
    platform::ml::FeatureProvider wrong;
    wrong.set("audio", platform::ml::MultiArray({3}, platform::ml::MultiArrayDataType::float32));
    EXPECT_THROW((void)asyncPrediction(*mel, wrong), platform::ml::MlError);
    auto state = decoder->makeState();
    platform::ml::FeatureProvider step;
    step.set("input_ids", platform::ml::MultiArray({1}, platform::ml::MultiArrayDataType::int32));
    EXPECT_THROW((void)asyncPrediction(*decoder, step, *state), platform::ml::MlError);  // no encoder output yet
}

