// Weight files whose header is written to cost memory: each is opened in a process of its
// own and the peak memory it took is held against the file's size. The header's bounds are
// typed errors, and a header just within them still opens.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "Platform/ML/MlError.h"
#include "Platform/ML/ModelSpec.h"
#include "Platform/ML/WeightsFile.h"
#include "support/ChildPeak.h"
#include "support/TempDir.h"

namespace {

namespace ml = platform::ml;
using testing::HasSubstr;

// A safetensors file: the header's length (unless given), the header, the data.
std::string safetensors(const std::string& header, const std::string& data = "", std::uint64_t length = 0) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[std::size_t(i)] = char(((length ? length : header.size()) >> (8 * i)) & 0xff);
    return out + header + data;
}

// A header of `count` entries, each made by `entry` from its index.
std::string entries(std::size_t count, const std::function<std::string(std::size_t)>& entry) {
    std::string header = "{";
    for (std::size_t i = 0; i < count; ++i) header += (i ? ",\"t" : "\"t") + std::to_string(i) + "\":" + entry(i);
    return header + "}";
}

std::string emptyTensor(std::size_t) { return R"({"dtype":"F32","shape":[0],"data_offsets":[0,0]})"; }

// One F32 tensor of one value with the given number of dimensions.
std::string ofRank(std::size_t rank, const std::string& extra = "") {
    std::string shape;
    for (std::size_t i = 0; i < rank; ++i) shape += i ? ",1" : "1";
    return safetensors(R"({"w":{"dtype":"F32","shape":[)" + shape + R"(],"data_offsets":[0,4])" + extra + "}}",
                       std::string(4, '\0'));
}

std::string openError(const std::filesystem::path& path) {
    try {
        ml::WeightsFile file(path);
    } catch (const ml::MlError& error) {
        return error.code == ml::MlError::Code::invalidModel ? error.what() : "another code";
    }
    return "";
}

TEST(HostileWeights, PeakMemoryStaysWithinAFewTimesTheFileSize) {
    struct Case {
        const char* name;
        std::function<std::string()> file;
        std::string error;  // empty: the file opens
    };
    const auto metadata = [] {
        std::string header = R"({"__metadata__":{)";
        for (int i = 0; i < 4000000; ++i) header += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":\"v\"";
        return safetensors(header + R"(},"w":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}})", std::string(4, '\0'));
    };
    const Case cases[] = {
        {"a million empty entries", [] { return safetensors(entries(1000000, [](std::size_t) { return "{}"; })); },
         "more than 100000 tensors"},
        {"a million empty tensors", [] { return safetensors(entries(1000000, emptyTensor)); }, "more than 100000 tensors"},
        {"a shape of a million dimensions",
         [] {
             std::string shape;
             for (int i = 0; i < 1000000; ++i) shape += i ? ",1" : "1";
             return safetensors(R"({"w":{"dtype":"F32","shape":[)" + shape + R"(],"data_offsets":[0,4]}})", "abcd");
         },
         "a list of more than 8 numbers"},
        {"a tensor with a million members of its own",
         [] { return safetensors(entries(1, [](std::size_t) { return entries(1000000, [](std::size_t) { return "[]"; }); })); },
         "has the unsupported dtype '(none)'"},
        {"four million metadata entries", metadata, ""},
    };
    const bool measured = testsupport::peakMemoryIsMeasured();
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "weights.safetensors";
        const auto read = testsupport::readInChild(path, c.file, [&] {
            const std::string error = openError(path);
            return error.empty() == c.error.empty() && error.find(c.error) != std::string::npos ? 0 : 1;
        });
        EXPECT_EQ(read.run.exitCode, 0) << "1: another outcome (" << openError(path).substr(0, 200) << "), else a crash";
        if (measured) {
            EXPECT_LT(read.extraPeakBytes, 3 * read.fileBytes + (16 << 20)) << "file of " << read.fileBytes << " bytes";
        }
    }
}

// Each bound refuses one more than it allows; what the reader does not use (the metadata,
// members of its own) is allowed and ignored.
TEST(HostileWeights, EachBoundIsATypedErrorOneBeyondIt) {
    struct Case {
        std::string file;
        std::string error;  // empty: the file opens
    };
    const Case cases[] = {
        {safetensors(entries(ml::WeightsFile::maxTensors, emptyTensor)), ""},
        {safetensors(entries(ml::WeightsFile::maxTensors + 1, emptyTensor)), "more than 100000 tensors"},
        {ofRank(ml::WeightsFile::maxRank), ""},
        {ofRank(ml::WeightsFile::maxRank + 1), "a list of more than 8 numbers"},
        {ofRank(2, R"(,"note":{"a":1},"more":[1,2])"), ""},
        {safetensors(R"({"w":{"dtype":"F32","shape":[[1]],"data_offsets":[0,4]}})", "abcd"), "nested too deeply"},
        {safetensors(R"({"__metadata__":{"format":"pt"},"w":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}})", "abcd"), ""},
        {safetensors("{}", "", ml::WeightsFile::maxHeaderBytes + 1), "longer than any model's"},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.empty() ? "within the bounds" : c.error);
        const auto path = dir / "weights.safetensors";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.file;
        const std::string error = openError(path);
        if (c.error.empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_THAT(error, HasSubstr(path.string() + ": "));
            EXPECT_THAT(error, HasSubstr(c.error));
        }
    }
    std::ofstream(dir / "weights.safetensors", std::ios::binary | std::ios::trunc) << ofRank(3);
    ml::WeightsFile opened(dir / "weights.safetensors");
    ASSERT_EQ(opened.tensors().size(), 1u);
    EXPECT_EQ(opened.tensors().at("w").shape, (std::vector<int64_t>{1, 1, 1}));
}

// A model description is read whole, so its size is bounded too.
TEST(HostileWeights, AModelDescriptionLargerThanAnyIsRefused) {
    testsupport::TempDir dir;
    std::string padded = R"({"format": 1, "kind": "mel", "n_mels": 80, "n_samples": 480000)";
    const std::string ok = padded + "}";
    padded += std::string(std::size_t(1) << 20, ' ') + "}";
    std::ofstream(dir / "model.json", std::ios::binary) << ok;
    EXPECT_EQ(ml::ModelSpec::read(dir / "model.json").nMels, 80);
    std::ofstream(dir / "model.json", std::ios::binary | std::ios::trunc) << padded;
    try {
        (void)ml::ModelSpec::read(dir / "model.json");
        ADD_FAILURE() << "read";
    } catch (const ml::MlError& error) {
        EXPECT_EQ(error.code, ml::MlError::Code::invalidModel);
        EXPECT_THAT(error.what(), HasSubstr("more than any model description"));
    }
}

}  // namespace
