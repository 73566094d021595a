#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvu {

// One microphone as the settings and the recorder see it.
struct AudioInputDevice {
    // The sound server's name for the source; stable across restarts, so it is what the
    // "microphoneUID" setting stores.
    std::string id;
    // The human-readable name the sound server gives it.
    std::string name;
    // Its position in the current device list; valid until the list changes.
    uint32_t deviceID = 0;

    bool operator==(const AudioInputDevice&) const = default;
};

// Static queries about the microphones. Nothing here fails: no sound server or no
// microphone means an empty list or an empty optional.
class AudioDevices {
public:
    AudioDevices() = delete;

    // Every input device, in the order in which the sound server lists them.
    static std::vector<AudioInputDevice> inputDevices();

    // The deviceID of the first input whose id equals the UID exactly; empty when none does.
    static std::optional<uint32_t> deviceID(const std::string& uid);

    // The name of the system's default input (what the settings window shows for
    // "system default"); empty when there is no input.
    static std::optional<std::string> defaultInputName();
};

}  // namespace korvu

template <>
struct std::hash<korvu::AudioInputDevice> {
    std::size_t operator()(const korvu::AudioInputDevice& device) const noexcept {
        std::size_t seed = std::hash<std::string>{}(device.id);
        auto combine = [&seed](std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
        combine(std::hash<std::string>{}(device.name));
        combine(std::hash<uint32_t>{}(device.deviceID));
        return seed;
    }
};
