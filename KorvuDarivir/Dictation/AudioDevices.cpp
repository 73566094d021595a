#include "KorvuDarivir/Dictation/AudioDevices.h"

#include "Platform/Audio/AudioInputs.h"

namespace korvu {

std::vector<AudioInputDevice> AudioDevices::inputDevices() {
    std::vector<AudioInputDevice> devices;
    uint32_t position = 0;
    for (const auto& input : platform::AudioInputs::list()) {
        // A device whose id or name cannot be read is left out.
        if (!input.id.empty() && !input.name.empty()) devices.push_back({input.id, input.name, position});
        ++position;
    }
    return devices;
}

std::optional<uint32_t> AudioDevices::deviceID(const std::string& uid) {
    for (const AudioInputDevice& device : inputDevices())
        if (device.id == uid) return device.deviceID;
    return std::nullopt;
}

std::optional<std::string> AudioDevices::defaultInputName() {
    const auto input = platform::AudioInputs::defaultInput();
    if (!input || input->name.empty()) return std::nullopt;
    return input->name;
}

}  // namespace korvu
