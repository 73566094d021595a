#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "Platform/ML/MatrixProduct.h"

namespace platform::ml {

// What this processor offers the large matrix products.
struct ProcessorFacts {
    std::string model;         // vendor, brand and cpuid signature: the key of a remembered calibration
    bool avx2 = false;
    bool avx512 = false;
    bool avx512Bf16 = false;
    bool amx = false;           // AMX with bfloat16, and the kernel grants the tile state
    bool bfloat16Products = false;  // the matrix library can make bfloat16 products here

    // "AMD EPYC (AuthenticAMD family 25 model 17 stepping 1): AVX2, AVX-512, AVX512-BF16, no AMX"
    std::string describe() const;
};

ProcessorFacts processorFacts();  // this machine's, read once

// GFLOP/s of one product at the encoder's shape in each precision, measured back to back.
struct PrecisionCalibration {
    double float32 = 0;
    double bfloat16 = 0;
};

// Runs the runtime's own products (MatrixProduct, as the encoder uses them) at the large
// encoder's shape, each precision a few times in turn, and keeps each one's best.
PrecisionCalibration calibratePrecisions();

struct PrecisionChoice {
    MatrixPrecision precision = MatrixPrecision::float32;
    std::string reason;  // one sentence for the log: what decided it
};

// The arithmetic `automatic` stands for: bfloat16 with AMX; with AVX512-BF16 only when a
// calibration found bfloat16 faster (AVX512-BF16 products are slower than float32 on some
// processors); float32 elsewhere. A calibration is remembered per processor model in
// `cacheFile` (a JSON object of model -> {"float32": GFLOP/s, "bfloat16": GFLOP/s}); a
// missing, unreadable or malformed file means calibrating again, and a file that cannot be
// written only means the next process calibrates too.
PrecisionChoice choosePrecision(const ProcessorFacts& facts, const std::filesystem::path& cacheFile,
                                const std::function<PrecisionCalibration()>& calibrate);

// "$XDG_CACHE_HOME/KORVU Darivir/matrix-precision.json" (~/.cache when unset).
std::filesystem::path precisionCacheFile();

// choosePrecision() for this machine and its cache file, made once per process.
const PrecisionChoice& automaticPrecision();

}  // namespace platform::ml
