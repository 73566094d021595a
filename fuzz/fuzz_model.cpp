// A model folder: the input is model.json, then a NUL byte, then weights.safetensors.
// Loading fails only with the runtime's error (MlError); a model that loads and is
// small enough runs one prediction, whatever numbers its weights hold (NaN included).
#include <omp.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "ScratchFolder.h"
#include "Platform/ML/MlError.h"
#include "Platform/ML/Model.h"

namespace {

namespace ml = platform::ml;

std::filesystem::path folder;

void write(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// The largest size of each dimension that a fuzzed prediction may have: beyond it a run
// costs too much time, not more coverage.
bool small(const std::vector<int64_t>& shape) {
    int64_t count = 1;
    for (const int64_t d : shape) count *= d > 0 ? d : 1;
    return count <= 1 << 16;
}

ml::MultiArray zeros(const ml::FeatureDescription& feature) {
    const auto& constraint = *feature.multiArrayConstraint;
    std::vector<int64_t> shape = constraint.shape;
    for (int64_t& d : shape) d = d < 0 ? 3 : d;
    return ml::MultiArray(shape, constraint.dataType);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    omp_set_num_threads(1);
    folder = fuzzing::scratchFolder("model") / "Fuzz.mlmodelc";
    std::filesystem::create_directories(folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto split = input.find('\0');
    if (split == std::string_view::npos) return 0;
    write(folder / "model.json", input.substr(0, split));
    write(folder / "weights.safetensors", input.substr(split + 1));
    try {
        // Mostly the float32 products: oneDNN's bfloat16 set-up costs milliseconds a load.
        ml::ModelConfiguration configuration;
        configuration.matrixPrecision = size % 32 == 0 ? ml::MatrixPrecision::automatic : ml::MatrixPrecision::float32;
        const auto model = ml::Model::load(folder, configuration);
        const auto& description = model->modelDescription();
        for (const auto& [name, feature] : description.inputDescriptionsByName)
            if (!small(feature.multiArrayConstraint->shape)) return 0;
        for (const auto& [name, feature] : description.outputDescriptionsByName)
            if (!small(feature.multiArrayConstraint->shape)) return 0;
        ml::FeatureProvider inputs;
        for (const auto& [name, feature] : description.inputDescriptionsByName) inputs.set(name, zeros(feature));
        if (description.hasState) {
            auto state = model->makeState();
            (void)model->prediction(inputs, *state);
            ml::FeatureProvider next;
            next.set("input_ids", ml::MultiArray({1}, ml::MultiArrayDataType::int32));
            (void)model->prediction(next, *state);
        } else {
            (void)model->prediction(inputs);
        }
    } catch (const ml::MlError&) {
    }
    return 0;
}
