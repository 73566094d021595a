#include "Platform/ML/ModelSpec.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Platform/ML/MlError.h"
#include "Platform/ML/WeightsFile.h"

namespace platform::ml {

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what) {
    throw MlError(MlError::Code::invalidModel, path.string() + ": " + what);
}

int64_t positive(const nlohmann::json& j, const char* key, const std::filesystem::path& path) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > (int64_t(1) << 31))
        fail(path, std::string("\"") + key + "\" must be a positive integer");
    return it->get<int64_t>();
}

FeatureDescription array(const std::string& name, std::vector<int64_t> shape, MultiArrayDataType type) {
    return {name, FeatureType::multiArray, MultiArrayConstraint{std::move(shape), type}};
}

MultiArrayDataType dataTypeNamed(const std::string& s, const std::filesystem::path& path) {
    if (s == "float32") return MultiArrayDataType::float32;
    if (s == "float16") return MultiArrayDataType::float16;
    if (s == "int32") return MultiArrayDataType::int32;
    fail(path, "unknown feature data type \"" + s + "\"");
}

// The features model.json lists must be exactly those the hyper-parameters give.
void checkFeatures(const nlohmann::json& j, const char* key, const std::map<std::string, FeatureDescription>& expected,
                   const std::filesystem::path& path) {
    auto it = j.find(key);
    if (it == j.end()) return;  // optional: the runtime derives them
    if (!it->is_array()) fail(path, std::string("\"") + key + "\" must be a list");
    size_t seen = 0;
    for (const auto& f : *it) {
        if (!f.is_object() || !f.contains("name") || !f["name"].is_string()) fail(path, std::string("a feature in \"") + key + "\" has no name");
        const auto name = f["name"].get<std::string>();
        auto e = expected.find(name);
        if (e == expected.end()) fail(path, "unexpected feature \"" + name + "\" in \"" + key + "\"");
        std::vector<int64_t> shape;
        if (f.contains("shape") && f["shape"].is_array())
            for (const auto& d : f["shape"])
                if (d.is_number_integer()) shape.push_back(d.get<int64_t>());
        if (shape != e->second.multiArrayConstraint->shape)
            fail(path, "feature \"" + name + "\" has shape " + shapeText(shape) + ", but the hyper-parameters give " +
                           shapeText(e->second.multiArrayConstraint->shape));
        if (f.contains("dataType") && dataTypeNamed(f.value("dataType", ""), path) != e->second.multiArrayConstraint->dataType)
            fail(path, "feature \"" + name + "\" has the wrong data type");
        ++seen;
    }
    if (seen != expected.size()) fail(path, std::string("\"") + key + "\" does not list every feature");
}

}  // namespace

ModelSpec ModelSpec::read(const std::filesystem::path& modelJson) {
    std::ifstream in(modelJson, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (!std::filesystem::exists(modelJson, ec))
            throw MlError(MlError::Code::modelNotFound, modelJson.string() + ": file not found");
        fail(modelJson, "cannot be read");
    }
    std::stringstream text;
    text << in.rdbuf();
    const auto j = nlohmann::json::parse(text.str(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) fail(modelJson, "not a JSON object");
    try {
        return fromJson(j, modelJson);
    } catch (const nlohmann::json::exception& e) {  // a key of the wrong type
        fail(modelJson, std::string("malformed: ") + e.what());
    }
}

ModelSpec ModelSpec::fromJson(const nlohmann::json& j, const std::filesystem::path& modelJson) {
    if (j.value("format", 0) != 1) fail(modelJson, "unsupported \"format\" (1 expected)");
    ModelSpec s;
    s.kind = j.value("kind", std::string());
    if (s.kind == "mel") {
        s.nMels = positive(j, "n_mels", modelJson);
        s.nSamples = positive(j, "n_samples", modelJson);
        if (j.contains("n_fft")) s.nFft = positive(j, "n_fft", modelJson);
        if (j.contains("hop_length")) s.hopLength = positive(j, "hop_length", modelJson);
        if (s.nSamples % s.hopLength != 0) fail(modelJson, "\"n_samples\" must be a multiple of \"hop_length\"");
        if (s.nSamples <= s.nFft / 2) fail(modelJson, "\"n_samples\" is too short for the window");
    } else if (s.kind == "encoder" || s.kind == "decoder") {
        s.dModel = positive(j, "d_model", modelJson);
        s.heads = positive(j, "attention_heads", modelJson);
        s.layers = positive(j, "layers", modelJson);
        s.ffnDim = positive(j, "ffn_dim", modelJson);
        s.nAudioCtx = positive(j, "n_audio_ctx", modelJson);
        if (s.dModel % s.heads != 0) fail(modelJson, "\"d_model\" must be a multiple of \"attention_heads\"");
        if (s.kind == "encoder") {
            s.nMels = positive(j, "n_mels", modelJson);
        } else {
            s.vocabSize = positive(j, "vocab_size", modelJson);
            s.maxTargetPositions = positive(j, "max_target_positions", modelJson);
        }
    } else {
        throw MlError(MlError::Code::unsupported, modelJson.string() + ": unknown model kind \"" + s.kind + "\"");
    }
    const ModelDescription d = s.description();
    checkFeatures(j, "inputs", d.inputDescriptionsByName, modelJson);
    checkFeatures(j, "outputs", d.outputDescriptionsByName, modelJson);
    return s;
}

ModelDescription ModelSpec::description() const {
    ModelDescription d;
    auto add = [](std::map<std::string, FeatureDescription>& m, FeatureDescription f) { m.emplace(f.name, std::move(f)); };
    constexpr auto f32 = MultiArrayDataType::float32;
    if (kind == "mel") {
        add(d.inputDescriptionsByName, array("audio", {nSamples}, f32));
        add(d.outputDescriptionsByName, array("melspectrogram_features", {nMels, nFrames()}, f32));
    } else if (kind == "encoder") {
        add(d.inputDescriptionsByName, array("melspectrogram_features", {nMels, 2 * nAudioCtx}, f32));
        add(d.outputDescriptionsByName, array("encoder_output_embeds", {nAudioCtx, dModel}, f32));
    } else {
        add(d.inputDescriptionsByName, array("input_ids", {-1}, MultiArrayDataType::int32));
        add(d.inputDescriptionsByName, array("encoder_output_embeds", {nAudioCtx, dModel}, f32));
        add(d.outputDescriptionsByName, array("logits", {1, vocabSize}, f32));
        d.hasState = true;
    }
    return d;
}

}  // namespace platform::ml
