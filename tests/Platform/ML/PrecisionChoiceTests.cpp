// Which arithmetic `automatic` stands for: by the processor's features, and by a
// calibration remembered per processor model where the features alone do not decide.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "Platform/ML/PrecisionChoice.h"
#include "support/TempDir.h"

using namespace platform::ml;

namespace {

nlohmann::json readJson(const std::filesystem::path& file) {
    std::ifstream in(file);
    return nlohmann::json::parse(in, nullptr, false);
}

void writeText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::trunc) << text;
}

}  // namespace

TEST(PrecisionChoice, FollowsTheFeaturesAndACalibrationRememberedPerProcessorModel) {
    const testsupport::TempDir folder;
    const auto file = folder / "cache" / "matrix-precision.json";
    ProcessorFacts amx{"Xeon A", true, true, true, true, true};
    ProcessorFacts avx512Bf16{"EPYC B", true, true, true, false, true};
    ProcessorFacts plain{"Core C", true, false, false, false, true};
    ProcessorFacts noBf16{"Old D", true, false, false, false, false};
    int calibrations = 0;
    auto measured = [&](double f, double b) {
        return [&calibrations, f, b] {
            ++calibrations;
            return PrecisionCalibration{f, b};
        };
    };

    // The features decide alone: nothing is measured or written.
    EXPECT_EQ(choosePrecision(amx, file, measured(1, 0)).precision, MatrixPrecision::bfloat16);
    EXPECT_EQ(choosePrecision(plain, file, measured(0, 1)).precision, MatrixPrecision::float32);
    EXPECT_EQ(choosePrecision(noBf16, file, measured(0, 1)).precision, MatrixPrecision::float32);
    EXPECT_EQ(calibrations, 0);
    EXPECT_FALSE(std::filesystem::exists(file));

    // AVX512-BF16 without AMX: measured once, then remembered for that processor model.
    auto first = choosePrecision(avx512Bf16, file, measured(600, 1260));
    EXPECT_EQ(first.precision, MatrixPrecision::bfloat16);
    EXPECT_NE(first.reason.find("1260"), std::string::npos) << first.reason;
    EXPECT_NE(first.reason.find("2.10 x"), std::string::npos) << first.reason;
    EXPECT_EQ(calibrations, 1);
    EXPECT_EQ(choosePrecision(avx512Bf16, file, measured(1111, 741)).precision, MatrixPrecision::bfloat16)
        << "the remembered calibration is used, not a new one";
    EXPECT_EQ(calibrations, 1);

    // Another model on the same file is calibrated on its own and kept beside the first.
    ProcessorFacts slowBf16{"Xeon E without AMX", true, true, true, false, true};
    const auto slow = choosePrecision(slowBf16, file, measured(1111, 741));
    EXPECT_EQ(slow.precision, MatrixPrecision::float32) << slow.reason;
    EXPECT_EQ(calibrations, 2);
    const auto json = readJson(file);
    ASSERT_TRUE(json.is_object());
    EXPECT_EQ(json["EPYC B"]["bfloat16"], 1260.0);
    EXPECT_EQ(json["Xeon E without AMX"]["float32"], 1111.0);
    EXPECT_EQ(choosePrecision(slowBf16, file, measured(1, 2)).precision, MatrixPrecision::float32);
    EXPECT_EQ(calibrations, 2);

    // A damaged file, or a damaged entry, means measuring again and writing a sound file.
    for (const std::string damaged : {"{\"EPYC B\": {\"float32\": 600, \"bfl", "[1, 2]", "",
                                      "{\"EPYC B\": {\"float32\": \"fast\", \"bfloat16\": 1}}",
                                      "{\"EPYC B\": {\"float32\": 0, \"bfloat16\": 1}}",
                                      "{\"EPYC B\": {\"float32\": -5, \"bfloat16\": -1}}", "{\"EPYC B\": 3}"}) {
        writeText(file, damaged);
        const int before = calibrations;
        EXPECT_EQ(choosePrecision(avx512Bf16, file, measured(900, 800)).precision, MatrixPrecision::float32) << damaged;
        EXPECT_EQ(calibrations, before + 1) << damaged;
        EXPECT_EQ(readJson(file)["EPYC B"]["float32"], 900.0) << damaged;
    }
}

TEST(PrecisionChoice, ACacheThatCannotBeReadOrWrittenStillGivesAChoice) {
    const testsupport::TempDir folder;
    writeText(folder / "file", "not a folder");
    std::filesystem::create_directory(folder / "folder");
    ProcessorFacts avx512Bf16{"EPYC B", true, true, true, false, true};
    // Its folder is a file; a folder stands where the file would be (it opens, but every
    // read fails).
    for (const auto& file : {folder / "file" / "matrix-precision.json", folder / "folder"}) {
        int calibrations = 0;
        auto calibrate = [&] {
            ++calibrations;
            return PrecisionCalibration{500, 1000};
        };
        EXPECT_EQ(choosePrecision(avx512Bf16, file, calibrate).precision, MatrixPrecision::bfloat16) << file;
        EXPECT_EQ(choosePrecision(avx512Bf16, file, calibrate).precision, MatrixPrecision::bfloat16) << file;
        EXPECT_EQ(calibrations, 2) << file;
        EXPECT_FALSE(std::filesystem::is_regular_file(file)) << file;
    }
}

// The real processor and the real products: the choice agrees with what the calibration
// measured, and this processor's features are what the choice names.
TEST(PrecisionChoice, ThisProcessorsChoiceAgreesWithItsOwnMeasurement) {
    const testsupport::TempDir folder;
    const auto file = folder / "matrix-precision.json";
    const ProcessorFacts facts = processorFacts();
    EXPECT_FALSE(facts.model.empty());
    EXPECT_NE(facts.describe().find(facts.avx512Bf16 ? ", AVX512-BF16" : ", no AVX512-BF16"), std::string::npos);
    int calibrations = 0;
    PrecisionCalibration measured;
    const auto choice = choosePrecision(facts, file, [&] {
        ++calibrations;
        measured = calibratePrecisions();
        return measured;
    });
    if (!facts.bfloat16Products || facts.amx || !facts.avx512Bf16) {
        EXPECT_EQ(calibrations, 0);
        EXPECT_EQ(choice.precision, facts.bfloat16Products && facts.amx ? MatrixPrecision::bfloat16 : MatrixPrecision::float32);
        GTEST_SKIP() << "the features decide on this processor: " << facts.describe();
    }
    ASSERT_EQ(calibrations, 1);
    EXPECT_GT(measured.float32, 1.0);
    EXPECT_GT(measured.bfloat16, 1.0);
    EXPECT_EQ(choice.precision, measured.bfloat16 > measured.float32 ? MatrixPrecision::bfloat16 : MatrixPrecision::float32)
        << choice.reason;
    EXPECT_EQ(readJson(file)[facts.model]["float32"], measured.float32);
}
