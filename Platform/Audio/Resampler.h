#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

struct soxr;

namespace platform {

// A streaming sample-rate converter for mono 32-bit float audio (libsoxr, high quality).
// One instance converts one continuous signal: feed it block after block, then flush it
// once at the end to get the tail the filter still holds. Not thread-safe: one thread
// uses an instance at a time.
class Resampler {
public:
    // Throws std::runtime_error when the rates are not positive or libsoxr refuses them.
    Resampler(double inputRate, double outputRate);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    double inputRate() const { return inputRate_; }
    double outputRate() const { return outputRate_; }

    // Converts the next block and appends whatever output is ready to `out`.
    // `capacityHint` sizes the first output step (the caller's estimate); the output is
    // never cut to it, so nothing the filter produces is lost.
    // Returns false when libsoxr reports an error (nothing is appended then).
    bool process(std::span<const float> input, std::vector<float>& out, std::size_t capacityHint = 0);

    // Ends the signal: appends the samples still inside the filter. Further input is
    // not accepted afterwards. Returns false on a libsoxr error.
    bool flush(std::vector<float>& out);

private:
    struct Deleter {
        void operator()(soxr* handle) const;
    };
    std::unique_ptr<soxr, Deleter> handle_;
    double inputRate_;
    double outputRate_;
    bool flushed_ = false;
};

}  // namespace platform
