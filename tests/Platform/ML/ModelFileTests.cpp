// Malformed model folders: each fault gives its own clear error naming the file.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Platform/ML/Model.h"
#include "support/TempDir.h"

using namespace platform::ml;

namespace {

struct Entry {
    std::string name, dtype;
    std::vector<int64_t> shape;
    size_t bytes;
};

// A safetensors file written by hand: the header as given, then `dataBytes` bytes.
std::string safetensors(const std::string& header, size_t dataBytes, uint64_t declaredLength = 0) {
    std::string out(8, '\0');
    const uint64_t length = declaredLength ? declaredLength : header.size();
    for (int i = 0; i < 8; ++i) out[size_t(i)] = char((length >> (8 * i)) & 0xff);
    out += header;
    out += std::string(dataBytes, '\x01');
    return out;
}

std::string headerOf(const std::vector<Entry>& entries) {
    nlohmann::json h = nlohmann::json::object();
    size_t offset = 0;
    for (const auto& e : entries) {
        h[e.name] = {{"dtype", e.dtype}, {"shape", e.shape}, {"data_offsets", {offset, offset + e.bytes}}};
        offset += e.bytes;
    }
    return h.dump();
}

class ModelFiles : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::filesystem::path folder = dir.path() / "MelSpectrogram.mlmodelc";

    void SetUp() override {
        std::filesystem::create_directories(folder);
        write("model.json", R"({"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 1600})");
    }
    void write(const std::string& name, const std::string& bytes) {
        std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    // The error's code and message of loading the folder, or nothing if it loads.
    std::optional<std::pair<MlError::Code, std::string>> loadError() {
        try {
            (void)Model::load(folder);
        } catch (const MlError& e) {
            return std::make_pair(e.code, std::string(e.what()));
        }
        return std::nullopt;
    }
    void expectInvalid(const std::string& fragment) {
        const auto error = loadError();
        ASSERT_TRUE(error.has_value()) << "expected an error containing " << fragment;
        EXPECT_EQ(error->first, MlError::Code::invalidModel) << error->second;
        EXPECT_NE(error->second.find(fragment), std::string::npos) << error->second;
        EXPECT_NE(error->second.find(folder.string()), std::string::npos) << error->second;
    }
};

const size_t kFilterBytes = 4 * 201 * 4;

TEST_F(ModelFiles, AWellFormedFileLoads) {
    write("weights.safetensors", safetensors(headerOf({{"mel_filters", "F32", {4, 201}, kFilterBytes}}), kFilterBytes));
    EXPECT_FALSE(loadError().has_value());
    // Extra tensors, other orders and offsets inside the data are accepted.
    write("weights.safetensors",
          safetensors(headerOf({{"other", "BF16", {3}, 6}, {"mel_filters", "F16", {4, 201}, kFilterBytes / 2}}),
                      6 + kFilterBytes / 2));
    EXPECT_FALSE(loadError().has_value());
}

TEST_F(ModelFiles, TruncatedData) {
    write("weights.safetensors", safetensors(headerOf({{"mel_filters", "F32", {4, 201}, kFilterBytes}}), kFilterBytes - 10));
    expectInvalid("tensor 'mel_filters' lies outside the file");
    write("weights.safetensors", std::string(5, '\0'));
    expectInvalid("truncated");
}

TEST_F(ModelFiles, HeaderLongerThanTheFile) {
    const auto header = headerOf({{"mel_filters", "F32", {4, 201}, kFilterBytes}});
    write("weights.safetensors", safetensors(header, kFilterBytes, header.size() + kFilterBytes + 100));
    expectInvalid("longer than the file");
    write("weights.safetensors", safetensors("{not json", kFilterBytes));
    expectInvalid("not a JSON object");
}

TEST_F(ModelFiles, WrongDtype) {
    write("weights.safetensors", safetensors(headerOf({{"mel_filters", "I64", {4, 201}, kFilterBytes * 2}}), kFilterBytes * 2));
    expectInvalid("unsupported dtype 'I64'");
    write("weights.safetensors", safetensors(R"({"mel_filters": {"dtype": 5, "shape": [4, 201], "data_offsets": [0, 3216]}})", kFilterBytes));
    expectInvalid("unsupported dtype '(none)'");
    // A size that disagrees with shape and dtype.
    write("weights.safetensors", safetensors(headerOf({{"mel_filters", "F16", {4, 201}, kFilterBytes}}), kFilterBytes));
    expectInvalid("need " + std::to_string(kFilterBytes / 2));
}

TEST_F(ModelFiles, MissingTensor) {
    write("weights.safetensors", safetensors(headerOf({{"filters", "F32", {4, 201}, kFilterBytes}}), kFilterBytes));
    expectInvalid("missing tensor 'mel_filters'");
}

TEST_F(ModelFiles, ShapeMismatch) {
    write("weights.safetensors", safetensors(headerOf({{"mel_filters", "F32", {4, 200}, 4 * 200 * 4}}), 4 * 200 * 4));
    expectInvalid("tensor 'mel_filters' has shape [4, 200], expected [4, 201]");
}

TEST_F(ModelFiles, MissingOrMalformedDescription) {
    write("weights.safetensors", safetensors(headerOf({{"mel_filters", "F32", {4, 201}, kFilterBytes}}), kFilterBytes));
    write("model.json", R"({"format": 1, "kind": "mel", "n_mels": -4, "n_samples": 1600})");
    expectInvalid("\"n_mels\" must be a positive integer");
    write("model.json", R"({"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 1600,
                           "outputs": [{"name": "melspectrogram_features", "shape": [4, 11]}]})");
    expectInvalid("has shape [4, 11]");
    write("model.json", "[1, 2");
    expectInvalid("not a JSON object");
    write("model.json", R"({"format": "1", "kind": "mel", "n_mels": 4, "n_samples": 1600})");
    expectInvalid("malformed");
    write("model.json", R"({"format": 1, "kind": ["mel"], "n_mels": 4, "n_samples": 1600})");
    expectInvalid("malformed");
    write("model.json", R"({"format": 1, "kind": "vocoder"})");
    ASSERT_TRUE(loadError().has_value());
    EXPECT_EQ(loadError()->first, MlError::Code::unsupported);
    std::filesystem::remove(folder / "model.json");
    EXPECT_EQ(loadError()->first, MlError::Code::modelNotFound);
}

TEST_F(ModelFiles, MissingFilesAndPackages) {
    auto code = [](const std::filesystem::path& p) {
        try {
            (void)Model::load(p);
        } catch (const MlError& e) {
            EXPECT_NE(std::string(e.what()).find(p.string()), std::string::npos);
            return e.code;
        }
        return MlError::Code::allocation;
    };
    EXPECT_EQ(code(folder), MlError::Code::modelNotFound);  // no weights file yet
    EXPECT_EQ(code(dir.path() / "Nothing.mlmodelc"), MlError::Code::modelNotFound);
    EXPECT_EQ(code(dir.path() / "X.mlpackage"), MlError::Code::unsupported);
}

TEST_F(ModelFiles, PrewarmLoadsAndRunsOnce) {
    std::vector<float> filters(4 * 201, 0.01f);
    std::string data(reinterpret_cast<const char*>(filters.data()), kFilterBytes);
    auto file = safetensors(headerOf({{"mel_filters", "F32", {4, 201}, kFilterBytes}}), 0) + data;
    write("weights.safetensors", file);
    EXPECT_NO_THROW(Model::prewarm(folder, {ComputeUnits::cpuAndNeuralEngine}));
    auto model = Model::load(folder, {ComputeUnits::cpuAndGPU});
    EXPECT_EQ(model->configuration().computeUnits, ComputeUnits::cpuAndGPU);
    EXPECT_EQ(model->kind(), "mel");
    // Inputs are checked against the description.
    FeatureProvider wrong;
    wrong.set("audio", MultiArray({1599}, MultiArrayDataType::float32));
    EXPECT_THROW((void)model->prediction(wrong), MlError);
    FeatureProvider missing;
    EXPECT_THROW((void)model->prediction(missing), MlError);
    FeatureProvider text;
    text.set("audio", std::string("no"));
    EXPECT_THROW((void)model->prediction(text), MlError);
}

}  // namespace
