#include "Platform/ML/MelSpectrogramBackend.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "Platform/ML/MatrixProduct.h"
#include "Platform/ML/MlError.h"

namespace platform::ml {

MelSpectrogramBackend::MelSpectrogramBackend(const ModelSpec& spec, const WeightsFile& weights)
    : spec_(spec), bins_(spec.nFft / 2 + 1) {
    filters_ = weights.floats("mel_filters", {spec.nMels, bins_});
    const int64_t n = spec.nFft;
    // Every phase is 2 pi k / n for a whole k below n: one table of n cosines and sines
    // (the phase modulo n keeps the argument small, so the basis is exact to float).
    std::vector<double> cosines(static_cast<size_t>(n)), sines(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k) {
        const double phase = 2.0 * std::numbers::pi * double(k) / double(n);
        cosines[size_t(k)] = std::cos(phase);
        sines[size_t(k)] = std::sin(phase);
    }
    basis_.resize(size_t(n * 2 * bins_));
    for (int64_t i = 0; i < n; ++i) {
        const double window = 0.5 - 0.5 * cosines[size_t(i)];
        for (int64_t f = 0; f < bins_; ++f) {
            const size_t k = size_t((i * f) % n);
            basis_[size_t(i * 2 * bins_ + 2 * f)] = float(window * cosines[k]);
            basis_[size_t(i * 2 * bins_ + 2 * f + 1)] = float(window * sines[k]);
        }
    }
}

FeatureProvider MelSpectrogramBackend::predict(const FeatureProvider& inputs, ModelStateHandle*) const {
    const MultiArray* audioArray = inputs.multiArray("audio");
    if (audioArray == nullptr) throw MlError(MlError::Code::badInput, "The input \"audio\" is missing");
    const auto audio = audioArray->elements<float>();
    const int64_t samples = spec_.nSamples, n = spec_.nFft, hop = spec_.hopLength, frames = spec_.nFrames();
    const int64_t pad = n / 2;

    // Frames of the reflection-padded signal (x[-k] = x[k], the edge sample not repeated).
    std::vector<float> framed(size_t(frames * n));
#pragma omp parallel for schedule(static)
    for (int64_t t = 0; t < frames; ++t) {
        for (int64_t i = 0; i < n; ++i) {
            int64_t j = t * hop + i - pad;
            if (j < 0) j = -j;
            if (j >= samples) j = 2 * (samples - 1) - j;
            framed[size_t(t * n + i)] = audio[size_t(j)];
        }
    }
    std::vector<float> spectrum(size_t(frames * 2 * bins_));
    gemmNN(frames, 2 * bins_, n, framed.data(), n, basis_.data(), 2 * bins_, 0.0f, spectrum.data(), 2 * bins_);
    std::vector<float> power(size_t(frames * bins_));
#pragma omp parallel for schedule(static)
    for (int64_t t = 0; t < frames; ++t)
        for (int64_t f = 0; f < bins_; ++f) {
            const float re = spectrum[size_t(t * 2 * bins_ + 2 * f)], im = spectrum[size_t(t * 2 * bins_ + 2 * f + 1)];
            power[size_t(t * bins_ + f)] = re * re + im * im;
        }

    MultiArray out({spec_.nMels, frames}, MultiArrayDataType::float32);
    float* mel = out.elements<float>().data();
    gemmNT(spec_.nMels, frames, bins_, 1.0f, filters_.data(), bins_, power.data(), bins_, 0.0f, mel, frames);
    const size_t count = size_t(out.count());
    float maximum = -INFINITY;
    for (size_t i = 0; i < count; ++i) {
        mel[i] = std::log10(std::max(mel[i], 1e-10f));
        maximum = std::max(maximum, mel[i]);
    }
    for (size_t i = 0; i < count; ++i) mel[i] = (std::max(mel[i], maximum - 8.0f) + 4.0f) / 4.0f;

    FeatureProvider result;
    result.set("melspectrogram_features", std::move(out));
    return result;
}

void MelSpectrogramBackend::warmUp() const {
    FeatureProvider in;
    in.set("audio", MultiArray({spec_.nSamples}, MultiArrayDataType::float32));
    (void)predict(in, nullptr);
}

}  // namespace platform::ml
