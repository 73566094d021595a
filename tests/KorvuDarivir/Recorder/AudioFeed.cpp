#include "AudioFeed.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "KorvuDarivir/Dictation/AudioDevices.h"

namespace recordertest {

FifoFeed::FifoFeed(std::string fifoPath, std::vector<float> samples, int channels)
    : path_(std::move(fifoPath)), samples_(std::move(samples)), channels_(channels) {
    thread_ = std::thread([this] { run(); });
}

FifoFeed::~FifoFeed() { thread_.join(); }

void FifoFeed::run() {
    // The sound server holds the fifo open for reading, so this open never blocks.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        failed_ = true;
        return;
    }
    auto writeAll = [&](const std::vector<int16_t>& pcm) {
        const char* data = reinterpret_cast<const char*>(pcm.data());
        std::size_t left = pcm.size() * sizeof(int16_t);
        while (left > 0) {
            const ssize_t n = ::write(fd, data, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        return true;
    };
    constexpr std::size_t kChunk = 1024;
    std::vector<int16_t> pcm;
    for (std::size_t i = 0; i < samples_.size() && !failed_; i += kChunk) {
        const std::size_t end = std::min(samples_.size(), i + kChunk);
        pcm.clear();
        for (std::size_t j = i; j < end; ++j) {
            const auto value = static_cast<int16_t>(std::lround(std::clamp(samples_[j], -1.0f, 1.0f) * 32767.0f));
            for (int c = 0; c < channels_; ++c) pcm.push_back(value);
        }
        if (!writeAll(pcm)) failed_ = true;
    }
    ::close(fd);
}

PulseModule::PulseModule(const std::string& arguments) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(("pactl load-module " + arguments).c_str(), "r"), ::pclose);
    if (!pipe) return;
    std::array<char, 64> line{};
    if (std::fgets(line.data(), line.size(), pipe.get())) {
        char* end = nullptr;
        const long index = std::strtol(line.data(), &end, 10);
        if (end != line.data()) index_ = static_cast<int>(index);
    }
}

PulseModule::~PulseModule() { unload(); }

void PulseModule::unload() {
    if (!index_) return;
    const std::string command = "pactl unload-module " + std::to_string(*index_);
    index_.reset();
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not run: %s\n", command.c_str());
}

void LevelLog::add(float level) {
    std::scoped_lock lock(mutex_);
    levels_.push_back(level);
    arrived_.notify_all();
}

std::vector<float> LevelLog::levels() {
    std::scoped_lock lock(mutex_);
    return levels_;
}

std::size_t LevelLog::count() {
    std::scoped_lock lock(mutex_);
    return levels_.size();
}

bool LevelLog::waitFor(std::size_t count, int guardSeconds) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(guardSeconds);
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (arrived_.wait_for(lock, std::chrono::milliseconds(20), [&] { return levels_.size() >= count; }))
                return true;
        }
        QCoreApplication::processEvents();
        if (std::chrono::steady_clock::now() > guard) return false;
    }
}

bool waitUntil(const std::function<bool()>& condition, int guardSeconds) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(guardSeconds);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > guard) return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool waitForDevice(const std::string& id, bool present, int guardSeconds) {
    return waitUntil([&] { return korvu::AudioDevices::deviceID(id).has_value() == present; }, guardSeconds);
}

std::vector<float> padded(const std::vector<float>& samples, std::size_t lead, std::size_t tail, std::size_t multiple) {
    std::vector<float> out(lead, 0.0f);
    out.insert(out.end(), samples.begin(), samples.end());
    out.resize(out.size() + tail, 0.0f);
    if (multiple > 0 && out.size() % multiple != 0) out.resize((out.size() / multiple + 1) * multiple, 0.0f);
    return out;
}

namespace {

long firstLoud(const std::vector<float>& samples, float threshold) {
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (std::fabs(samples[i]) > threshold) return static_cast<long>(i);
    return -1;
}

}  // namespace

Alignment align(const std::vector<float>& reference, const std::vector<float>& recording, long searchRadius) {
    Alignment best;
    best.correlation = -2;
    const long refOnset = firstLoud(reference, 0.05f);
    const long recOnset = firstLoud(recording, 0.05f);
    if (refOnset < 0 || recOnset < 0) return best;
    const long guess = recOnset - refOnset;
    double refEnergy = 0;
    for (float r : reference) refEnergy += double(r) * r;
    for (long offset = guess - searchRadius; offset <= guess + searchRadius; ++offset) {
        double dot = 0, recEnergy = 0;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const long j = offset + static_cast<long>(i);
            const double x = (j >= 0 && j < static_cast<long>(recording.size())) ? recording[static_cast<std::size_t>(j)] : 0.0;
            dot += reference[i] * x;
            recEnergy += x * x;
        }
        if (refEnergy <= 0 || recEnergy <= 0) continue;
        const double ncc = dot / std::sqrt(refEnergy * recEnergy);
        if (ncc > best.correlation) best = {offset, ncc, dot / refEnergy};
    }
    return best;
}

std::size_t loudSpan(const std::vector<float>& samples, float threshold) {
    const long first = firstLoud(samples, threshold);
    if (first < 0) return 0;
    long last = static_cast<long>(samples.size()) - 1;
    while (last > first && std::fabs(samples[static_cast<std::size_t>(last)]) <= threshold) --last;
    return static_cast<std::size_t>(last - first + 1);
}

std::string sessionFifo() {
    const char* fifo = std::getenv("KORVU_TEST_VMIC_FIFO");
    return fifo ? fifo : "";
}

}  // namespace recordertest
