#include "Platform/ML/WeightsFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <nlohmann/json.hpp>

#include "Platform/ML/FilteredJson.h"
#include "Platform/ML/Half.h"
#include "Platform/ML/MlError.h"

namespace platform::ml {

namespace {

size_t typeSize(WeightType t) { return t == WeightType::f32 ? 4 : 2; }

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what) {
    throw MlError(MlError::Code::invalidModel, path.string() + ": " + what);
}

// Keeps of the header at most maxTensors entries, each with only the members read below
// (others, "__metadata__" among them, are dropped as they are parsed), lists of at most
// maxRank numbers, nothing nested deeper. A header beyond these bounds fails before the
// rest of it is read.
class HeaderFilter : public JsonFilter {
public:
    explicit HeaderFilter(const std::filesystem::path& path) : path_(path) {}

    bool key(int depth, const std::string& key) override {
        if (depth == 1) {
            if (key == "__metadata__") return false;
            if (++tensors_ > WeightsFile::maxTensors)
                fail(path_, "the header lists more than " + std::to_string(WeightsFile::maxTensors) + " tensors");
        }
        return depth != 2 || key == "dtype" || key == "shape" || key == "data_offsets";
    }
    bool container(int depth, bool) override {
        if (depth >= 3) fail(path_, "the header is nested too deeply");
        items_ = 0;
        return true;
    }
    void value(int depth, const nlohmann::json&) override {
        if (depth == 3 && ++items_ > WeightsFile::maxRank)
            fail(path_, "the header has a list of more than " + std::to_string(WeightsFile::maxRank) + " numbers");
    }

private:
    const std::filesystem::path& path_;
    size_t tensors_ = 0;
    size_t items_ = 0;  // in the list being read
};

}  // namespace

std::string shapeText(const std::vector<int64_t>& shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
    return s + "]";
}

int64_t WeightView::count() const {
    int64_t n = 1;
    for (int64_t d : shape) n *= d;
    return n;
}

WeightsFile::WeightsFile(const std::filesystem::path& path) : path_(path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) throw MlError(MlError::Code::modelNotFound, path.string() + ": file not found");
        fail(path, std::string("cannot open: ") + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(path, "not a regular file");
    }
    size_ = size_t(st.st_size);
    if (size_ < 8) {
        ::close(fd);
        fail(path, "truncated: " + std::to_string(size_) + " bytes, shorter than the header length");
    }
    map_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map_ == MAP_FAILED) {
        map_ = nullptr;
        fail(path, std::string("cannot map: ") + std::strerror(errno));
    }
    try {
        const auto* bytes = static_cast<const std::byte*>(map_);
        uint64_t headerLength = 0;
        for (int i = 7; i >= 0; --i) headerLength = headerLength << 8 | uint64_t(bytes[i]);
        if (headerLength > maxHeaderBytes)
            fail(path, "header of " + std::to_string(headerLength) + " bytes is longer than any model's (at most " +
                           std::to_string(maxHeaderBytes) + ")");
        if (headerLength > size_ - 8)
            fail(path, "header of " + std::to_string(headerLength) + " bytes is longer than the file (" +
                           std::to_string(size_) + " bytes)");
        const char* text = reinterpret_cast<const char*>(bytes + 8);
        nlohmann::json header;
        try {
            HeaderFilter filter(path);
            header = parseFiltered(std::string_view(text, size_t(headerLength)), filter);
        } catch (const nlohmann::json::exception&) {
            fail(path, "the header is not a JSON object");
        }
        if (!header.is_object()) fail(path, "the header is not a JSON object");
        const std::byte* dataStart = bytes + 8 + headerLength;
        const uint64_t dataSize = size_ - 8 - headerLength;
        for (auto& [name, entry] : header.items()) {
            if (name == "__metadata__") continue;
            const std::string where = "tensor '" + name + "'";
            if (!entry.is_object()) fail(path, where + " has no description");
            WeightView view;
            view.name = name;
            const auto dtype = entry.contains("dtype") && entry["dtype"].is_string() ? entry["dtype"].get<std::string>()
                                                                                   : std::string("(none)");
            if (dtype == "F32") view.type = WeightType::f32;
            else if (dtype == "F16") view.type = WeightType::f16;
            else if (dtype == "BF16") view.type = WeightType::bf16;
            else fail(path, where + " has the unsupported dtype '" + dtype + "' (F32, F16 or BF16 expected)");
            const auto& shape = entry["shape"];
            if (!shape.is_array()) fail(path, where + " has no shape");
            uint64_t count = 1;
            for (const auto& d : shape) {
                if (!d.is_number_integer() || d.get<int64_t>() < 0) fail(path, where + " has an invalid shape");
                const auto dim = d.get<uint64_t>();
                if (dim != 0 && count > (uint64_t(1) << 48) / dim) fail(path, where + " is impossibly large");
                count *= dim;
                view.shape.push_back(int64_t(dim));
            }
            const auto& offsets = entry["data_offsets"];
            if (!offsets.is_array() || offsets.size() != 2 || !offsets[0].is_number_unsigned() ||
                !offsets[1].is_number_unsigned())
                fail(path, where + " has no valid data_offsets");
            const auto begin = offsets[0].get<uint64_t>();
            const auto end = offsets[1].get<uint64_t>();
            if (begin > end || end > dataSize)
                fail(path, where + " lies outside the file (data_offsets [" + std::to_string(begin) + ", " +
                               std::to_string(end) + "], " + std::to_string(dataSize) + " data bytes): truncated?");
            if (end - begin != count * typeSize(view.type))
                fail(path, where + " has " + std::to_string(end - begin) + " bytes, but its shape " +
                               shapeText(view.shape) + " and dtype " + dtype + " need " +
                               std::to_string(count * typeSize(view.type)));
            view.data = dataStart + begin;
            view.byteCount = end - begin;
            tensors_.emplace(name, std::move(view));
        }
    } catch (...) {
        ::munmap(map_, size_);
        map_ = nullptr;
        throw;
    }
}

WeightsFile::~WeightsFile() {
    if (map_ != nullptr) ::munmap(map_, size_);
}

const WeightView& WeightsFile::require(const std::string& name, const std::vector<int64_t>& shape) const {
    auto it = tensors_.find(name);
    if (it == tensors_.end()) fail(path_, "missing tensor '" + name + "'");
    if (it->second.shape != shape)
        fail(path_, "tensor '" + name + "' has shape " + shapeText(it->second.shape) + ", expected " + shapeText(shape));
    return it->second;
}

// Once a tensor is converted its mapped pages are not needed again: dropping them keeps
// the file's pages out of the peak memory of a load (they stay in the page cache).
void WeightsFile::release(const WeightView& v) const {
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (uintptr_t(v.data) + page - 1) / page * page;
    const uintptr_t end = (uintptr_t(v.data) + v.byteCount) / page * page;
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

std::vector<float> WeightsFile::floats(const std::string& name, const std::vector<int64_t>& shape) const {
    const WeightView& v = require(name, shape);
    std::vector<float> out(size_t(v.count()));
    switch (v.type) {
    case WeightType::f32: std::memcpy(out.data(), v.data, v.byteCount); break;
    case WeightType::f16: {
        std::vector<uint16_t> h(out.size());
        std::memcpy(h.data(), v.data, v.byteCount);
        halfToFloat(h.data(), out.data(), out.size());
        break;
    }
    case WeightType::bf16:
        for (size_t i = 0; i < out.size(); ++i) {
            uint16_t b;
            std::memcpy(&b, v.data + 2 * i, 2);
            out[i] = std::bit_cast<float>(uint32_t(b) << 16);
        }
        break;
    }
    release(v);
    return out;
}

std::vector<uint16_t> WeightsFile::halves(const std::string& name, const std::vector<int64_t>& shape) const {
    const WeightView& v = require(name, shape);
    std::vector<uint16_t> out(size_t(v.count()));
    if (v.type == WeightType::f16) {
        std::memcpy(out.data(), v.data, v.byteCount);
        release(v);
    } else {
        const std::vector<float> f = floats(name, shape);
        floatToHalf(f.data(), out.data(), f.size());
    }
    return out;
}

}  // namespace platform::ml
