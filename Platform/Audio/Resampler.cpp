#include "Platform/Audio/Resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace platform {

void Resampler::Deleter::operator()(soxr* handle) const { soxr_delete(handle); }

Resampler::Resampler(double inputRate, double outputRate) : inputRate_(inputRate), outputRate_(outputRate) {
    if (!(inputRate > 0) || !(outputRate > 0) || !std::isfinite(inputRate) || !std::isfinite(outputRate))
        throw std::runtime_error("Resampler: sample rates must be positive");
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    handle_.reset(soxr_create(inputRate, outputRate, 1, &error, &io, &quality, nullptr));
    if (error || !handle_) throw std::runtime_error(std::string("Resampler: ") + (error ? error : "cannot create"));
}

Resampler::~Resampler() = default;

bool Resampler::process(std::span<const float> input, std::vector<float>& out, std::size_t capacityHint) {
    if (flushed_) return false;
    // An empty block must not reach libsoxr: a null input pointer means "end of signal".
    if (input.empty()) return true;
    const std::size_t start = out.size();
    const std::size_t estimate = static_cast<std::size_t>(std::ceil(input.size() * outputRate_ / inputRate_)) + 32;
    const std::size_t step = std::max<std::size_t>(capacityHint, estimate);
    std::size_t consumed = 0;
    // libsoxr may take only part of the input when the output space runs out, so keep
    // offering the rest until it is all taken and the output no longer fills the space.
    for (;;) {
        const std::size_t before = out.size();
        out.resize(before + step);
        std::size_t used = 0, produced = 0;
        const soxr_error_t error = soxr_process(handle_.get(), input.data() + consumed, input.size() - consumed,
                                                &used, out.data() + before, step, &produced);
        out.resize(before + produced);
        if (error) {
            out.resize(start);
            return false;
        }
        consumed += used;
        if (consumed >= input.size() && produced < step) return true;
        if (used == 0 && produced == 0) return true;  // nothing more to gain now
    }
}

bool Resampler::flush(std::vector<float>& out) {
    if (flushed_) return true;
    flushed_ = true;
    const std::size_t step = 4096;
    for (;;) {
        const std::size_t before = out.size();
        out.resize(before + step);
        std::size_t produced = 0;
        const soxr_error_t error = soxr_process(handle_.get(), nullptr, 0, nullptr, out.data() + before, step, &produced);
        out.resize(before + produced);
        if (error) return false;
        if (produced == 0) return true;
    }
}

}  // namespace platform
