// darivir-model: writes a model variant folder that the runtime loads.
//
//   darivir-model tiny --out DIR [--seed N] [--dtype F16|F32|BF16] [--width D] [--heads H]
//                      [--encoder-layers N] [--decoder-layers N] [--mels 80|128] [--audio-ctx N]
//   darivir-model scripted --out DIR --text TEXT [--language CODE] [--no-speech P] [--confidence L]
//                          [--loop] [--english-only] [tiny's size options]
//   darivir-model convert --checkpoint DIR --out DIR [--dtype F16|F32|BF16]
//
// Both end by loading the three models written, so a folder that the tool reports as
// written is one the runtime accepts.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "Platform/ML/Model.h"
#include "Platform/ML/WeightsFile.h"
#include "TokenizerWriter.h"
#include "ScriptedDecoder.h"
#include "VariantWriter.h"

namespace {

using darivir::Hyperparameters;
using darivir::TensorMap;

int usage() {
    std::cerr << "usage:\n"
                 "  darivir-model tiny --out DIR [--seed N] [--dtype F16|F32|BF16] [--width D] [--heads H]\n"
                 "                     [--encoder-layers N] [--decoder-layers N] [--mels N] [--audio-ctx N]\n"
                 "  darivir-model scripted --out DIR --text TEXT [--language CODE] [--no-speech P]\n"
                 "                         [--confidence L] [--loop] [--english-only] [tiny's size options]\n"
                 "  darivir-model convert --checkpoint DIR --out DIR [--dtype F16|F32|BF16]\n";
    return 2;
}

// Seeded normal numbers that are the same on every machine and library.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    float normal() {
        const double u1 = std::max(uniform(), 1e-300), u2 = uniform();
        return float(std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * 3.14159265358979323846 * u2));
    }

private:
    uint64_t next() {  // splitmix64
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint64_t state_;
};

TensorMap tinyWeights(const Hyperparameters& h, uint64_t seed, const std::string& dtype) {
    Random random(seed);
    TensorMap t;
    auto add = [&](const std::string& name, std::vector<int64_t> shape, float scale, float offset = 0.0f) {
        int64_t n = 1;
        for (auto s : shape) n *= s;
        std::vector<float> v(static_cast<size_t>(n));
        for (auto& x : v) x = offset + scale * random.normal();
        t.emplace(name, darivir::floatTensor(v, std::move(shape), dtype));
    };
    const int64_t d = h.dModel;
    const float wd = 1.0f / std::sqrt(float(d));
    auto block = [&](const std::string& p, int64_t ffn, bool cross) {
        for (const std::string& a : cross ? std::vector<std::string>{"self_attn", "encoder_attn"} : std::vector<std::string>{"self_attn"}) {
            for (const char* proj : {"q_proj", "k_proj", "v_proj", "out_proj"}) {
                add(p + a + "." + proj + ".weight", {d, d}, wd);
                if (std::string(proj) != "k_proj") add(p + a + "." + proj + ".bias", {d}, 0.02f);
            }
            add(p + a + "_layer_norm.weight", {d}, 0.1f, 1.0f);
            add(p + a + "_layer_norm.bias", {d}, 0.05f);
        }
        add(p + "fc1.weight", {ffn, d}, wd);
        add(p + "fc1.bias", {ffn}, 0.02f);
        add(p + "fc2.weight", {d, ffn}, 1.0f / std::sqrt(float(ffn)));
        add(p + "fc2.bias", {d}, 0.02f);
        add(p + "final_layer_norm.weight", {d}, 0.1f, 1.0f);
        add(p + "final_layer_norm.bias", {d}, 0.05f);
    };
    add("encoder.conv1.weight", {d, h.nMels, 3}, 1.0f / std::sqrt(float(h.nMels * 3)));
    add("encoder.conv1.bias", {d}, 0.02f);
    add("encoder.conv2.weight", {d, d, 3}, 1.0f / std::sqrt(float(d * 3)));
    add("encoder.conv2.bias", {d}, 0.02f);
    // The encoder's positional table is the family's fixed sinusoids.
    std::vector<float> positions(size_t(h.nAudioCtx * d));
    const int64_t half = d / 2;
    const double step = std::log(10000.0) / double(std::max<int64_t>(half - 1, 1));
    for (int64_t p = 0; p < h.nAudioCtx; ++p)
        for (int64_t i = 0; i < half; ++i) {
            const double angle = double(p) * std::exp(-double(i) * step);
            positions[size_t(p * d + i)] = float(std::sin(angle));
            positions[size_t(p * d + half + i)] = float(std::cos(angle));
        }
    t.emplace("encoder.embed_positions.weight", darivir::floatTensor(positions, {h.nAudioCtx, d}, dtype));
    for (int64_t l = 0; l < h.encoderLayers; ++l) block("encoder.layers." + std::to_string(l) + ".", h.encoderFfn, false);
    add("encoder.layer_norm.weight", {d}, 0.1f, 1.0f);
    add("encoder.layer_norm.bias", {d}, 0.05f);
    add("decoder.embed_tokens.weight", {h.vocabSize, d}, 0.5f);
    add("decoder.embed_positions.weight", {h.maxTargetPositions, d}, 0.1f);
    for (int64_t l = 0; l < h.decoderLayers; ++l) block("decoder.layers." + std::to_string(l) + ".", h.decoderFfn, true);
    add("decoder.layer_norm.weight", {d}, 0.1f, 1.0f);
    add("decoder.layer_norm.bias", {d}, 0.05f);
    return t;
}

nlohmann::json publicConfig(const Hyperparameters& h, int64_t endOfText, int64_t startOfTranscript, const std::string& dtype) {
    return {{"model_type", "darivir"},
            {"d_model", h.dModel},
            {"encoder_layers", h.encoderLayers},
            {"decoder_layers", h.decoderLayers},
            {"encoder_attention_heads", h.encoderHeads},
            {"decoder_attention_heads", h.decoderHeads},
            {"encoder_ffn_dim", h.encoderFfn},
            {"decoder_ffn_dim", h.decoderFfn},
            {"num_mel_bins", h.nMels},
            {"vocab_size", h.vocabSize},
            {"max_source_positions", h.nAudioCtx},
            {"max_target_positions", h.maxTargetPositions},
            {"bos_token_id", endOfText},
            {"eos_token_id", endOfText},
            {"pad_token_id", endOfText},
            {"decoder_start_token_id", startOfTranscript},
            {"torch_dtype", dtype == "F32" ? "float32" : dtype == "BF16" ? "bfloat16" : "float16"}};
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void verify(const std::filesystem::path& out) {
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"})
        (void)platform::ml::Model::load(out / (std::string(name) + ".mlmodelc"));
}

// The folder is written under a temporary name beside the target and renamed into place
// once the runtime has loaded it, so a failed or killed run leaves no half-written variant.
std::filesystem::path prepareOutput(const std::filesystem::path& out) {
    std::error_code ec;
    if (std::filesystem::exists(out, ec) && !std::filesystem::is_empty(out, ec))
        throw std::runtime_error(out.string() + " exists and is not empty; choose a new folder");
    const std::filesystem::path staging = out.string() + ".partial";
    std::filesystem::remove_all(staging);
    std::filesystem::create_directories(staging);
    return staging;
}

void finishOutput(const std::filesystem::path& staging, const std::filesystem::path& out) {
    verify(staging);
    std::error_code ec;
    std::filesystem::remove(out, ec);  // an empty folder only
    std::filesystem::rename(staging, out);
}

// Removes the staging folder when a run fails.
struct StagingGuard {
    std::filesystem::path path;
    bool done = false;
    ~StagingGuard() {
        std::error_code ec;
        if (!done) std::filesystem::remove_all(path, ec);
    }
};

// The sizes of a tiny model from the options.
Hyperparameters tinySizes(const std::map<std::string, std::string>& options) {
    Hyperparameters h;
    auto integer = [&](const char* key, int64_t& target) {
        if (auto it = options.find(key); it != options.end()) target = std::stoll(it->second);
    };
    integer("width", h.dModel);
    integer("heads", h.encoderHeads);
    h.decoderHeads = h.encoderHeads;
    integer("encoder-layers", h.encoderLayers);
    integer("decoder-layers", h.decoderLayers);
    integer("mels", h.nMels);
    integer("audio-ctx", h.nAudioCtx);
    if (h.dModel < 2 || h.encoderHeads < 1 || h.dModel % h.encoderHeads != 0 || h.encoderLayers < 1 ||
        h.decoderLayers < 1 || h.nMels < 1 || h.nAudioCtx < 2)
        throw std::runtime_error("invalid sizes: the width must be a multiple of the heads, every count positive");
    h.encoderFfn = h.decoderFfn = 4 * h.dModel;
    return h;
}

// Writes a seeded random model; with a text, its decoder is scripted to spell that text.
int tiny(const std::map<std::string, std::string>& options, bool scripted) {
    Hyperparameters h = tinySizes(options);
    const int64_t seed = options.count("seed") ? std::stoll(options.at("seed")) : 1;
    const std::string dtype = options.count("dtype") ? options.at("dtype") : "F16";
    const std::filesystem::path out = options.at("out");
    const std::string text = scripted ? options.at("text") : std::string();
    const auto tokenizer = darivir::tinyTokenizer(300, text);
    // The family's English-only models have a vocabulary of 51864; the ids past the
    // tokenizer's are never scripted.
    h.vocabSize = options.count("english-only") ? std::max<int64_t>(51864, tokenizer.vocabSize) : tokenizer.vocabSize;
    auto weights = tinyWeights(h, uint64_t(seed), dtype);
    if (scripted) {
        const auto special = [&](const std::string& name) {
            const auto it = tokenizer.specialIds.find(name);
            if (it == tokenizer.specialIds.end()) throw std::runtime_error("no special token " + name);
            return it->second;
        };
        darivir::Script script;
        script.text = tokenizer.textTokens;
        // With timestamps the text follows the first timestamp, which the engine makes the first token.
        script.textStarts = {special("<|transcribe|>"), special("<|translate|>"), special("<|notimestamps|>"), special("<|0.00|>")};
        script.firstTimestamp = special("<|0.00|>");
        script.endOfText = special("<|endoftext|>");
        script.startOfTranscript = special("<|startoftranscript|>");
        script.language = special("<|" + (options.count("language") ? options.at("language") : "en") + "|>");
        script.english = special("<|en|>");
        script.noSpeech = special("<|nospeech|>");
        if (options.count("confidence")) script.confidence = std::stof(options.at("confidence"));
        if (options.count("no-speech")) script.noSpeechProbability = std::stod(options.at("no-speech"));
        script.loop = options.count("loop") > 0;
        darivir::scriptDecoder(weights, h, script, dtype);
    }
    StagingGuard staging{prepareOutput(out)};
    darivir::writeModels(staging.path, h, std::move(weights));
    darivir::writeTextFile(staging.path / "config.json",
                           publicConfig(h, tokenizer.endOfText, tokenizer.startOfTranscript, dtype).dump(2) + "\n");
    darivir::writeTextFile(staging.path / "tokenizer.json", tokenizer.tokenizerJson);
    darivir::writeTextFile(staging.path / "tokenizer_config.json", tokenizer.tokenizerConfigJson);
    finishOutput(staging.path, out);
    staging.done = true;
    std::cout << "wrote " << out.string() << " (width " << h.dModel << ", vocabulary " << h.vocabSize << ")\n";
    return 0;
}

int convert(const std::map<std::string, std::string>& options) {
    const std::filesystem::path checkpoint = options.at("checkpoint");
    const std::filesystem::path out = options.at("out");
    const std::string dtype = options.count("dtype") ? options.at("dtype") : "F16";
    const auto config = nlohmann::json::parse(readFile(checkpoint / "config.json"));
    Hyperparameters h;
    auto get = [&](const char* key) {
        if (!config.contains(key) || !config[key].is_number_integer())
            throw std::runtime_error(checkpoint.string() + "/config.json: \"" + key + "\" is missing");
        return config[key].get<int64_t>();
    };
    h.dModel = get("d_model");
    h.encoderLayers = get("encoder_layers");
    h.decoderLayers = get("decoder_layers");
    h.encoderHeads = get("encoder_attention_heads");
    h.decoderHeads = get("decoder_attention_heads");
    h.encoderFfn = get("encoder_ffn_dim");
    h.decoderFfn = get("decoder_ffn_dim");
    h.nMels = get("num_mel_bins");
    h.vocabSize = get("vocab_size");
    h.nAudioCtx = get("max_source_positions");
    h.maxTargetPositions = get("max_target_positions");

    TensorMap tensors;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(checkpoint))
        if (entry.path().extension() == ".safetensors") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    if (files.empty()) throw std::runtime_error(checkpoint.string() + ": no .safetensors file");
    for (const auto& file : files) {
        const platform::ml::WeightsFile weights(file);
        for (const auto& [name, view] : weights.tensors()) {
            std::string target = name.rfind("model.", 0) == 0 ? name.substr(6) : name;
            if (target.rfind("encoder.", 0) != 0 && target.rfind("decoder.", 0) != 0) continue;  // e.g. proj_out
            // Fixed tables and norms keep float32; matrices take the requested type.
            const bool matrix = view.shape.size() >= 2 && target.find("embed_positions") == std::string::npos;
            tensors.emplace(target, darivir::floatTensor(weights.floats(name, view.shape), view.shape, matrix ? dtype : "F32"));
        }
    }
    StagingGuard staging{prepareOutput(out)};
    darivir::writeModels(staging.path, h, std::move(tensors));
    darivir::writeTextFile(staging.path / "config.json", readFile(checkpoint / "config.json"));
    for (const char* name : {"tokenizer.json", "tokenizer_config.json"})
        if (std::filesystem::exists(checkpoint / name))
            darivir::writeTextFile(staging.path / name, readFile(checkpoint / name));
    finishOutput(staging.path, out);
    staging.done = true;
    std::cout << "wrote " << out.string() << " from " << checkpoint.string() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    std::map<std::string, std::string> options;
    // "--key value", or "--flag" alone when no value follows.
    for (int i = 2; i < argc; ++i) {
        const std::string key = argv[i];
        if (key.rfind("--", 0) != 0 || key.size() < 3) return usage();
        const bool flag = i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0;
        options[key.substr(2)] = flag ? "" : argv[++i];
    }
    try {
        if (mode == "tiny" && options.count("out")) return tiny(options, false);
        if (mode == "scripted" && options.count("out") && options.count("text")) return tiny(options, true);
        if (mode == "convert" && options.count("out") && options.count("checkpoint")) return convert(options);
        return usage();
    } catch (const std::exception& e) {
        std::cerr << "darivir-model: " << e.what() << "\n";
        return 1;
    }
}
