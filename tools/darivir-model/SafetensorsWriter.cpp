#include "SafetensorsWriter.h"

#include <bit>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Platform/ML/Half.h"

namespace darivir {

OutTensor floatTensor(const std::vector<float>& values, std::vector<int64_t> shape, const std::string& dtype) {
    OutTensor t{dtype, std::move(shape), {}};
    if (dtype == "F32") {
        t.data.resize(values.size() * 4);
        std::memcpy(t.data.data(), values.data(), t.data.size());
    } else if (dtype == "F16") {
        std::vector<uint16_t> h(values.size());
        platform::ml::floatToHalf(values.data(), h.data(), h.size());
        t.data.resize(h.size() * 2);
        std::memcpy(t.data.data(), h.data(), t.data.size());
    } else if (dtype == "BF16") {
        t.data.resize(values.size() * 2);
        for (size_t i = 0; i < values.size(); ++i) {
            uint32_t x = std::bit_cast<uint32_t>(values[i]);
            x += 0x7fffu + ((x >> 16) & 1u);
            const uint16_t b = uint16_t(x >> 16);
            std::memcpy(t.data.data() + 2 * i, &b, 2);
        }
    } else {
        throw std::invalid_argument("unknown dtype " + dtype + " (F32, F16 or BF16)");
    }
    return t;
}

void writeTextFile(const std::filesystem::path& path, const std::string& text) {
    const auto temporary = path.string() + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) throw std::runtime_error("cannot write " + temporary);
    }
    std::filesystem::rename(temporary, path);
}

void writeSafetensors(const std::filesystem::path& path, const TensorMap& tensors) {
    nlohmann::json header = nlohmann::json::object();
    uint64_t offset = 0;
    for (const auto& [name, t] : tensors) {
        header[name] = {{"dtype", t.dtype}, {"shape", t.shape}, {"data_offsets", {offset, offset + t.data.size()}}};
        offset += t.data.size();
    }
    std::string text = header.dump();
    while ((text.size() + 8) % 8 != 0) text.push_back(' ');
    std::string bytes(8, '\0');
    for (int i = 0; i < 8; ++i) bytes[size_t(i)] = char((uint64_t(text.size()) >> (8 * i)) & 0xffu);
    const auto temporary = path.string() + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), 8);
        out.write(text.data(), std::streamsize(text.size()));
        for (const auto& [name, t] : tensors) out.write(reinterpret_cast<const char*>(t.data.data()), std::streamsize(t.data.size()));
        out.flush();
        if (!out) throw std::runtime_error("cannot write " + temporary);
    }
    std::filesystem::rename(temporary, path);
}

}  // namespace darivir
