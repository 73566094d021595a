#include "AudioFeed.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "KorvuDarivir/Dictation/AudioDevices.h"
#include "support/QtWait.h"

namespace recordertest {

FifoFeed::FifoFeed(const std::string& fifoPath, const std::vector<float>& samples, int channels) {
    std::vector<int16_t> pcm;
    for (float sample : samples)
        pcm.insert(pcm.end(), channels, static_cast<int16_t>(std::lround(std::clamp(sample, -1.0f, 1.0f) * 32767.0f)));
    thread_ = std::thread([this, fifoPath, pcm = std::move(pcm)] {
        // The sound server holds the fifo open for reading, so this open never blocks.
        const int fd = ::open(fifoPath.c_str(), O_WRONLY | O_CLOEXEC);
        const char* data = reinterpret_cast<const char*>(pcm.data());
        std::size_t left = fd < 0 ? 1 : pcm.size() * sizeof(int16_t);
        while (fd >= 0 && left > 0) {
            const ssize_t n = ::write(fd, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        failed_ = left > 0;
        if (fd >= 0) ::close(fd);
    });
}

PulseModule::PulseModule(const std::string& arguments) {
    FILE* pipe = ::popen(("pactl load-module " + arguments).c_str(), "r");
    if (!pipe) return;
    int index = -1;
    if (std::fscanf(pipe, "%d", &index) == 1) index_ = index;
    ::pclose(pipe);
}

PulseModule::~PulseModule() { unload(); }

void PulseModule::unload() {
    if (index_ && std::system(("pactl unload-module " + std::to_string(*std::exchange(index_, std::nullopt))).c_str()) != 0)
        std::fprintf(stderr, "pactl unload-module failed\n");
}

bool LevelLog::waitFor(std::size_t count) {
    return testsupport::spinUntil([&] { return this->count() >= count; });
}

bool waitForDevice(const std::string& id, bool present) {
    return testsupport::spinUntil([&] { return korvu::AudioDevices::deviceID(id).has_value() == present; });
}

std::vector<float> padded(const std::vector<float>& samples, std::size_t lead, std::size_t tail, std::size_t multiple) {
    std::vector<float> out(lead, 0.0f);
    out.insert(out.end(), samples.begin(), samples.end());
    out.resize((out.size() + tail + multiple - 1) / multiple * multiple, 0.0f);
    return out;
}

namespace {

long firstLoud(const std::vector<float>& samples, float threshold) {
    const auto it = std::ranges::find_if(samples, [&](float s) { return std::fabs(s) > threshold; });
    return it == samples.end() ? -1 : static_cast<long>(it - samples.begin());
}

}  // namespace

Alignment align(const std::vector<float>& reference, const std::vector<float>& recording, long searchRadius) {
    Alignment best{0, -2, 0};
    const long refOnset = firstLoud(reference, 0.05f), recOnset = firstLoud(recording, 0.05f);
    if (refOnset < 0 || recOnset < 0) return best;
    double refEnergy = 0;
    for (float r : reference) refEnergy += double(r) * r;
    const long guess = recOnset - refOnset;
    for (long offset = guess - searchRadius; offset <= guess + searchRadius; ++offset) {
        double dot = 0, recEnergy = 0;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const long j = offset + static_cast<long>(i);
            const double x = j >= 0 && j < static_cast<long>(recording.size()) ? recording[static_cast<std::size_t>(j)] : 0.0;
            dot += reference[i] * x;
            recEnergy += x * x;
        }
        if (refEnergy > 0 && recEnergy > 0 && dot / std::sqrt(refEnergy * recEnergy) > best.correlation)
            best = {offset, dot / std::sqrt(refEnergy * recEnergy), dot / refEnergy};
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
