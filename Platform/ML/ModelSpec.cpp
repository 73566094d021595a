#include "Platform/ML/ModelSpec.h"

#include <fstream>
#include <optional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Platform/ML/MlError.h"
#include "Platform/ML/WeightsFile.h"

namespace platform::ml {

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what) {
    throw MlError(MlError::Code::invalidModel, path.string() + ": " + what);
}

// A whole number within [minimum, maximum]; a fraction, a number too large for any
// integer type or one outside the range is refused with the field's name, never
// converted (a float outside the integer range converts with undefined behaviour).
std::optional<int64_t> integer(const nlohmann::json& value, int64_t minimum, int64_t maximum) {
    int64_t number = 0;
    if (value.is_number_unsigned()) {
        const auto u = value.get<uint64_t>();
        if (u > uint64_t(maximum)) return std::nullopt;
        number = int64_t(u);
    } else if (value.is_number_integer()) {
        number = value.get<int64_t>();
    } else {
        return std::nullopt;
    }
    if (number < minimum || number > maximum) return std::nullopt;
    return number;
}

int64_t field(const nlohmann::json& j, const char* key, int64_t maximum, const std::filesystem::path& path) {
    auto it = j.find(key);
    const auto number = it == j.end() ? std::nullopt : integer(*it, 1, maximum);
    if (!number)
        fail(path, std::string("\"") + key + "\" must be a positive integer of at most " + std::to_string(maximum));
    return *number;
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
            for (const auto& d : f["shape"]) {
                const auto dimension = integer(d, -1, int64_t(1) << 40);
                if (!dimension) fail(path, "feature \"" + name + "\" has a shape that is not whole numbers");
                shape.push_back(*dimension);
            }
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
    // A model description is a few hundred bytes: a larger file is refused before it is
    // read, since the parser holds many times its size.
    constexpr std::streamoff maxBytes = 1 << 20;
    in.seekg(0, std::ios::end);
    if (in.tellg() > maxBytes)
        fail(modelJson, std::to_string(in.tellg()) + " bytes, more than any model description (" +
                            std::to_string(maxBytes) + ")");
    in.seekg(0);
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
    const auto format = j.find("format");
    if (format != j.end() && !format->is_number()) fail(modelJson, "malformed: \"format\" is not a number");
    if (format == j.end() || integer(*format, 1, 1) != 1) fail(modelJson, "unsupported \"format\" (1 expected)");
    ModelSpec s;
    s.kind = j.value("kind", std::string());
    // Every size here decides an allocation, and some (the window, the audio context of
    // the decoder) are backed by no weight: the family's limits bound them all.
    if (s.kind == "mel") {
        s.nMels = field(j, "n_mels", maxMels, modelJson);
        s.nSamples = field(j, "n_samples", maxSamples, modelJson);
        if (j.contains("n_fft")) s.nFft = field(j, "n_fft", maxFft, modelJson);
        if (j.contains("hop_length")) s.hopLength = field(j, "hop_length", maxSamples, modelJson);
        if (s.nSamples % s.hopLength != 0) fail(modelJson, "\"n_samples\" must be a multiple of \"hop_length\"");
        if (s.nFrames() > maxFrames)
            fail(modelJson, "\"hop_length\" gives " + std::to_string(s.nFrames()) + " frames, more than " +
                                std::to_string(maxFrames));
        if (s.nSamples <= s.nFft / 2) fail(modelJson, "\"n_samples\" is too short for the window");
    } else if (s.kind == "encoder" || s.kind == "decoder") {
        s.dModel = field(j, "d_model", maxWidth, modelJson);
        s.heads = field(j, "attention_heads", maxWidth, modelJson);
        s.layers = field(j, "layers", maxLayers, modelJson);
        s.ffnDim = field(j, "ffn_dim", maxFfn, modelJson);
        s.nAudioCtx = field(j, "n_audio_ctx", maxAudioCtx, modelJson);
        if (s.dModel % s.heads != 0) fail(modelJson, "\"d_model\" must be a multiple of \"attention_heads\"");
        if (s.kind == "encoder") {
            s.nMels = field(j, "n_mels", maxMels, modelJson);
        } else {
            s.vocabSize = field(j, "vocab_size", maxVocabulary, modelJson);
            s.maxTargetPositions = field(j, "max_target_positions", maxTargetPositionsLimit, modelJson);
        }
    } else {
        throw MlError(MlError::Code::unsupported, modelJson.string() + ": unknown model kind \"" + s.kind + "\"");
    }
    const ModelDescription d = s.description();
    checkFeatures(j, "inputs", d.inputDescriptionsByName, modelJson);
    checkFeatures(j, "outputs", d.outputDescriptionsByName, modelJson);
    return s;
}

void ModelSpec::checkWeights(const WeightsFile& weights, const std::filesystem::path& modelJson) const {
    // The tensors that pin each size, checked before the backend allocates anything.
    const auto agree = [&](const char* key, const std::string& tensor, const std::vector<int64_t>& shape) {
        const auto it = weights.tensors().find(tensor);
        if (it == weights.tensors().end())
            fail(modelJson, std::string("\"") + key + "\" cannot be checked: missing tensor '" + tensor + "' in " +
                                weights.path().string());
        if (it->second.shape != shape)
            fail(modelJson, std::string("\"") + key + "\" disagrees with the weights: tensor '" + tensor + "' has shape " +
                                shapeText(it->second.shape) + ", expected " + shapeText(shape));
    };
    const auto layer = [](const char* stack, int64_t index) {
        return std::string(stack) + ".layers." + std::to_string(index) + ".fc1.weight";
    };
    if (kind == "mel") {
        agree("n_mels", "mel_filters", {nMels, nFft / 2 + 1});
    } else if (kind == "encoder") {
        agree("n_mels", "encoder.conv1.weight", {dModel, nMels, 3});
        agree("n_audio_ctx", "encoder.embed_positions.weight", {nAudioCtx, dModel});
        agree("ffn_dim", layer("encoder", 0), {ffnDim, dModel});
        agree("layers", layer("encoder", layers - 1), {ffnDim, dModel});
    } else {
        agree("vocab_size", "decoder.embed_tokens.weight", {vocabSize, dModel});
        agree("max_target_positions", "decoder.embed_positions.weight", {maxTargetPositions, dModel});
        agree("ffn_dim", layer("decoder", 0), {ffnDim, dModel});
        agree("layers", layer("decoder", layers - 1), {ffnDim, dModel});
    }
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
