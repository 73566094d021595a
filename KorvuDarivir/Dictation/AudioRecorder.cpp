#include "KorvuDarivir/Dictation/AudioRecorder.h"

#include "KorvuDarivir/Dictation/AudioDevices.h"
#include "Platform/Audio/AudioCapture.h"
#include "Platform/Audio/AudioInputs.h"
#include "Platform/Audio/Resampler.h"

#include "Platform/Async/MainThread.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>

namespace korvu {

AudioRecorder::AudioRecorder() : worker_([this] { work(); }) {}

AudioRecorder::~AudioRecorder() {
    {
        std::scoped_lock guard(jobsLock_);
        // Stopping joins the capture thread, so no buffer arrives once the recorder is gone.
        jobs_.push_back([this] { stopNow(); });
        quitting_ = true;
    }
    jobsChanged_.notify_one();
    worker_.join();
}

void AudioRecorder::enqueue(std::function<void()> job) {
    {
        std::scoped_lock guard(jobsLock_);
        jobs_.push_back(std::move(job));
    }
    jobsChanged_.notify_one();
}

void AudioRecorder::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock guard(jobsLock_);
            jobsChanged_.wait(guard, [this] { return quitting_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

void AudioRecorder::start(const std::optional<std::string>& deviceUID, QPointer<QObject> receiver,
                          StartCompletion done) {
    enqueue([this, deviceUID, receiver, done = std::move(done)] {
        std::exception_ptr error;
        try {
            startNow(deviceUID);
        } catch (...) {
            error = std::current_exception();
        }
        platform::deliver(receiver, [done, error] {
            if (done) done(error);
        });
    });
}

void AudioRecorder::stop(QPointer<QObject> receiver, StopCompletion done) {
    enqueue([this, receiver, done = std::move(done)] {
        auto samples = std::make_shared<std::vector<float>>(stopNow());
        if (!done) return;
        platform::deliver(receiver, [done, samples] { done(std::move(*samples)); });
    });
}

void AudioRecorder::start(const std::optional<std::string>& deviceUID) {
    std::promise<void> outcome;
    auto finished = outcome.get_future();
    enqueue([&] {
        try {
            startNow(deviceUID);
            outcome.set_value();
        } catch (...) {
            outcome.set_exception(std::current_exception());
        }
    });
    finished.get();
}

std::vector<float> AudioRecorder::stop() {
    std::promise<std::vector<float>> outcome;
    auto finished = outcome.get_future();
    enqueue([&] { outcome.set_value(stopNow()); });
    return finished.get();
}

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

void AudioRecorder::startNow(const std::optional<std::string>& deviceUID) {
    // Two captures feeding one sample array would interleave their buffers, so a
    // recording still running ends before the next begins.
    stopNow();
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

std::vector<float> AudioRecorder::stopNow() {
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
