#include "KorvuDarivir/Dictation/AudioRecorder.h"

#include "KorvuDarivir/Dictation/AudioDevices.h"
#include "Platform/Audio/AudioCapture.h"
#include "Platform/Audio/AudioInputs.h"
#include "Platform/Audio/Resampler.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvu {

AudioRecorder::AudioRecorder() = default;

// Stopping joins the capture thread, so no buffer arrives once the recorder is gone.
AudioRecorder::~AudioRecorder() { stop(); }

float AudioRecorder::levelOf(std::span<const float> samples) {
    if (samples.empty()) return 0.0f;
    float sumOfSquares = 0.0f;
    for (float sample : samples) sumOfSquares += sample * sample;
    const float rms = std::sqrt(sumOfSquares / static_cast<float>(samples.size()));
    // std::max and std::clamp both pass a NaN through, so test for it explicitly.
    const float level = (20.0f * std::log10(std::max(rms, 0.000001f)) + 50.0f) / 40.0f;
    if (!(level > 0.0f)) return 0.0f;
    return std::min(level, 1.0f);
}

std::optional<uint32_t> AudioRecorder::outputCapacity(double inputRate, double frames) {
    const double whole = std::floor(kTargetRate / inputRate * frames);
    if (!std::isfinite(whole) || whole < 0) return std::nullopt;
    const double capacity = whole + 32.0;
    if (capacity > static_cast<double>(std::numeric_limits<uint32_t>::max())) return std::nullopt;
    return static_cast<uint32_t>(capacity);
}

void AudioRecorder::start(const std::optional<std::string>& deviceUID) {
    // Two captures feeding one sample array would interleave their buffers, so a
    // recording still running ends before the next begins.
    stop();
    {
        std::scoped_lock guard(lock_);
        samples_.clear();
    }
    if (AudioDevices::inputDevices().empty()) throw RecorderError(RecorderError::Code::noInputDevice);

    // An unknown or stale UID silently falls back to the default input.
    const auto input = platform::AudioInputs::choose(deviceUID);
    if (!input) throw RecorderError(RecorderError::Code::noInputDevice);
    if (input->sampleRate <= 0 || input->channels <= 0) throw RecorderError(RecorderError::Code::noInputDevice);

    try {
        converter_ = std::make_unique<platform::Resampler>(input->sampleRate, kTargetRate);
    } catch (const std::exception&) {
        converter_.reset();  // without a converter every buffer is dropped
    }

    auto engine = std::make_unique<platform::AudioCapture>();
    try {
        engine->start(*input, kFramesPerBuffer, [this](std::span<const float> frames) { process(frames); },
                      [this] { finish(); });
    } catch (...) {
        converter_.reset();
        throw;
    }
    engine_ = std::move(engine);
}

std::vector<float> AudioRecorder::stop() {
    if (engine_) {
        // Blocks until the capture thread has handed over its last buffer and flushed
        // the converter; only then may the converter go.
        engine_->stop();
        engine_.reset();
    }
    converter_.reset();
    std::scoped_lock guard(lock_);
    return samples_;
}

void AudioRecorder::process(std::span<const float> frames) {
    if (!converter_ || frames.empty()) return;
    const auto capacity = outputCapacity(converter_->inputRate(), static_cast<double>(frames.size()));
    if (!capacity) return;
    std::vector<float> converted;
    converted.reserve(*capacity);
    if (!converter_->process(frames, converted, *capacity) || converted.empty()) return;
    {
        std::scoped_lock guard(lock_);
        samples_.insert(samples_.end(), converted.begin(), converted.end());
    }
    const float level = levelOf(converted);
    if (onLevel) onLevel(level);
}

void AudioRecorder::finish() {
    // The converter still holds the last few milliseconds; they belong to the recording.
    if (!converter_) return;
    std::vector<float> tail;
    if (!converter_->flush(tail) || tail.empty()) return;
    std::scoped_lock guard(lock_);
    samples_.insert(samples_.end(), tail.begin(), tail.end());
}

}  // namespace korvu
