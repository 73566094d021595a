#include "Vocarion/Core/Audio/AudioProcessor.h"

#include <algorithm>
#include <cmath>

namespace vocarion {

std::vector<float> AudioProcessor::padOrTrim(std::span<const float> audio, size_t startIndex,
                                             size_t frameLength) const {
    std::vector<float> window(frameLength, 0.0f);
    if (startIndex >= audio.size()) return window;
    const size_t available = std::min(frameLength, audio.size() - startIndex);
    std::copy_n(audio.begin() + static_cast<std::ptrdiff_t>(startIndex), available, window.begin());
    return window;
}

float AudioProcessor::rootMeanSquare(std::span<const float> samples) {
    if (samples.empty()) return 0.0f;
    double sum = 0.0;
    for (float s : samples) sum += static_cast<double>(s) * s;
    return static_cast<float>(std::sqrt(sum / static_cast<double>(samples.size())));
}

}  // namespace vocarion
